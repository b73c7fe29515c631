// Fuzz target: the fortunes-file reader and the record writer. The input is a
// fortunes file as a hand edit, another program or a crash may have left it.
//
// Checked for every input:
// - the reader stores exactly the records a plain line-by-line reading gives,
//   so as many records as the file has separator lines;
// - every stored line ends with CR LF;
// - appending a record to that file (which first closes stray lines after the
//   last separator as a record of their own) reads back as the old records,
//   the stray lines as one record, and the new record, intact;
// - the input as a fortune text goes through appendRecord and the reader and
//   comes back as recordForm gives it, or is refused because one of its lines
//   is a separator.
#include "fortunesfile.h"
#include "fuzzcheck.h"

#include <QDir>
#include <QFile>

#include <cstdlib>
#include <unistd.h>

using namespace fortune;
using Records = QList<QByteArray>;

namespace {

const QByteArray kSep = kSeparator.toByteArray();

struct Plain {
    Records records;
    QByteArray tail; // the bytes after the last separator line
};

// The reading rules, line by line: a line ends at an LF or at the end of the
// file, either way without one CR right before that end.
Plain plainReading(QByteArrayView file)
{
    Plain out;
    QByteArray record;
    qsizetype pos = 0;
    qsizetype tailStart = 0;
    while (pos < file.size()) {
        const qsizetype lf = file.indexOf('\n', pos);
        const qsizetype end = lf < 0 ? file.size() : lf;
        QByteArrayView line = file.sliced(pos, end - pos);
        if (line.endsWith('\r'))
            line.chop(1);
        pos = lf < 0 ? file.size() : lf + 1;
        if (line == kSeparator) {
            out.records.append(record);
            record.clear();
            tailStart = pos;
        } else {
            record += line;
            record += "\r\n";
        }
    }
    out.tail = file.sliced(tailStart).toByteArray();
    return out;
}

// Would the text, written with CR LF after it, hold a separator line?
bool holdsSeparatorLine(QByteArrayView text)
{
    qsizetype pos = 0;
    for (;;) {
        const qsizetype lf = text.indexOf('\n', pos);
        QByteArrayView line = text.sliced(pos, (lf < 0 ? text.size() : lf) - pos);
        if (lf >= 0 && line.endsWith('\r'))
            line.chop(1);
        if (line == kSeparator)
            return true;
        if (lf < 0)
            return false;
        pos = lf + 1;
    }
}

Records load(const QString &path)
{
    FortuneList list;
    const LoadResult result = loadFortunesFile(path, list);
    FUZZ_CHECK(result.outcome == LoadResult::Outcome::Loaded, "a regular file loads");
    FUZZ_CHECK(result.stored == list.count(), "stored counts the records");
    Records out;
    for (qsizetype i = 0; i < list.count(); ++i)
        out.append(list.rawAt(i).toByteArray());
    return out;
}

void write(const QString &path, QByteArrayView bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes.data(), bytes.size()) != bytes.size())
        std::abort();
}

QString scratch(const char *name)
{
    static const QString dir = [] {
        // Memory-backed when there is /dev/shm: the target writes files on every run.
        QByteArray tmpl = QDir(QStringLiteral("/dev/shm")).exists() ? "/dev/shm/fuzz-fortunes-XXXXXX"
                                                                      : "/tmp/fuzz-fortunes-XXXXXX";
        if (!mkdtemp(tmpl.data()))
            std::abort();
        return QString::fromLocal8Bit(tmpl);
    }();
    return dir + u'/' + QLatin1String(name);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView input = fuzz::bytes(data, size);
    const Plain plain = plainReading(input);

    // The reader against the plain rules.
    const QString file = scratch("fortunes.txt");
    write(file, input);
    const Records read = load(file);
    FUZZ_CHECK(read == plain.records, "the reader gives the records of a plain line-by-line reading");
    for (const QByteArray &record : read) {
        FUZZ_CHECK(record.isEmpty() || record.endsWith("\r\n"), "a stored fortune ends with CR LF");
        FUZZ_CHECK(record.count('\n') == record.count("\r\n"), "every stored line ends with CR LF");
    }

    // A record appended to this file: stray lines become their own record first.
    const QByteArray fresh = "A fortune\r\nfrom the fuzzer";
    const Status appended = appendRecord(file, fresh);
    FUZZ_CHECK(appended.ok(), "appending to a regular file works");
    Records expected = plain.records;
    if (!plain.tail.isEmpty()) {
        QByteArray stray = plain.tail;
        if (stray.endsWith('\n'))
            stray.chop(1);
        if (stray.endsWith('\r'))
            stray.chop(1);
        expected.append(recordForm(stray));
    }
    expected.append(recordForm(fresh));
    FUZZ_CHECK(load(file) == expected, "old records, stray lines as one record, then the new record");

    // The input as a fortune: written and read back in its record form.
    const QString single = scratch("single.txt");
    QFile::remove(single);
    FortuneList list;
    const Status stored = storeNewFortune(single, input, list);
    if (holdsSeparatorLine(input)) {
        FUZZ_CHECK(!stored.ok(), "a text with a separator line is refused");
        FUZZ_CHECK(list.count() == 0, "a refused text is not stored");
        FUZZ_CHECK(!QFile::exists(single) || QFile(single).size() == 0, "a refused text is not written");
    } else {
        FUZZ_CHECK(stored.ok(), "a text without a separator line is stored");
        const QByteArray form = recordForm(input);
        FUZZ_CHECK(list.count() == 1 && list.rawAt(0) == QByteArrayView(form), "the list holds the record form");
        FUZZ_CHECK(list.contains(form), "the lookup finds the stored record form");
        FUZZ_CHECK(load(single) == Records{form}, "the file reads back as the record form");
    }
    return 0;
}
