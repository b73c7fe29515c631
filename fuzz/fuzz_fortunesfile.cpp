// Fuzz target: the fortunes-file reader, the record writer and the collection
// file, on a file as a hand edit, another program or a crash may leave it, and
// on the same bytes as a fortune; checked against the plain reading (testutil.h).
#include "collectionfile.h"
#include "fortunesreader.h"
#include "fuzzcheck.h"
#include "../tests/testutil.h"

#include <QDir>
#include <QFileInfo>

#include <cstdlib>

using namespace fortune;
using Records = QList<QByteArray>;

static QString scratch()
{
    static const QString path = [] {
        // Memory-backed when there is /dev/shm: the target writes files on every run.
        QByteArray tmpl = QDir(QStringLiteral("/dev/shm")).exists() ? "/dev/shm/fuzz-fortunes-XXXXXX"
                                                                      : "/tmp/fuzz-fortunes-XXXXXX";
        if (!mkdtemp(tmpl.data()))
            std::abort();
        return QString::fromLocal8Bit(tmpl) + QStringLiteral("/fortunes.txt");
    }();
    return path;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input = fuzz::bytes(data, size);
    const QString path = scratch();
    QByteArray tail;
    const Records plain = testutil::plainRecords(input, &tail);
    const bool utf16 = encodingOf(input).kind != TextEncoding::Kind::Utf8;
    QFile::remove(path);
    if (!testutil::writeFile(path, input))
        std::abort();
    FUZZ_CHECK(testutil::recordsOf(path) == plain, "the reader gives the records of the plain reading");

    const QByteArray fresh = "A fortune\r\nfrom the fuzzer";
    FUZZ_CHECK(appendRecord(path, fresh).ok() != utf16, "a record is appended, unless the file is UTF-16");
    Records expected = plain;
    if (!utf16 && !tail.isEmpty()) { // the stray lines, closed without their last line end
        tail.chop(tail.endsWith("\r\n") ? 2 : tail.endsWith('\n') || tail.endsWith('\r') ? 1 : 0);
        expected << recordForm(tail);
    }
    if (!utf16)
        expected << recordForm(fresh);
    FUZZ_CHECK(testutil::recordsOf(path) == expected, "old records, stray lines as one record, the new one");

    FortuneList list;
    CollectionFile collection(path);
    const qsizetype n = expected.size();
    for (const QByteArray &record : {expected.value(0), expected.value(plain.size() - 1), expected.value(n - 1)}) {
        if (!utf16 && !record.isEmpty()) {
            const CollectionFile::Stored again = collection.storeUnlessHeld(record.chopped(2), list);
            FUZZ_CHECK(again.status.ok() && !again.stored, "the collection file holds its records");
        }
    }

    QFile::remove(path);
    const CollectionFile::Stored stored = CollectionFile(path).storeUnlessHeld(input, list);
    if (!testutil::plainRecords("\n" + input.toByteArray() + "\r\n").isEmpty()) { // a separator line
        FUZZ_CHECK(stored.leftOut && !stored.stored && !QFileInfo::exists(path), "a text with a separator line is left out");
    } else {
        FUZZ_CHECK(stored.stored && list.rawAt(list.count() - 1) == recordForm(input), "the list holds it");
        FUZZ_CHECK(testutil::recordsOf(path) == Records{recordForm(input)}, "the file reads back as the record form");
    }
    return 0;
}
