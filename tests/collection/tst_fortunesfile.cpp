#include "fortunesfile.h"
#include "../testutil.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace fortune;
using Records = QList<QByteArray>;

namespace {

using testutil::kSep;
using testutil::readFile;

Records recordsOf(const FortuneList &list, qsizetype from = 0)
{
    Records out;
    for (qsizetype i = from; i < list.count(); ++i)
        out.append(list.rawAt(i).toByteArray());
    return out;
}

// The reading rules written out the plain way, line by line, to check the
// chunked reader against on bigger inputs.
Records referenceParse(const QByteArray &file)
{
    Records out;
    QByteArray acc;
    qsizetype pos = 0;
    while (pos < file.size()) {
        qsizetype lf = file.indexOf('\n', pos);
        const qsizetype end = lf < 0 ? file.size() : lf;
        QByteArray line = file.mid(pos, end - pos);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line == kSep) {
            out.append(acc);
            acc.clear();
        } else {
            acc += line + "\r\n";
        }
        pos = end + 1;
    }
    return out;
}

} // namespace

class TestFortunesFile : public QObject {
    Q_OBJECT

private slots:
    void formatCases_data()
    {
        QTest::addColumn<QString>("fixture");
        QTest::addColumn<Records>("expected");
        QTest::newRow("empty file") << "empty.txt" << Records{};
        QTest::newRow("lines after the last separator dropped")
            << "trailing-lines.txt" << Records{"X\r\nY\r\n", "Z\r\n"};
        QTest::newRow("two separators in a row") << "two-separators.txt" << Records{"A\r\n", "", "B\r\n"};
        QTest::newRow("leading separator") << "leading-separator.txt" << Records{"", "A\r\n"};
        QTest::newRow("near-miss separators are text")
            << "near-miss.txt"
            << Records{"A\r\n" + kSep + " \r\nB\r\n" + kSep.left(10) + "|" + kSep.mid(11) + "\r\nC\r\n"};
        QTest::newRow("no CR LF after the last separator") << "no-final-crlf.txt" << Records{"A\r\n", "B\r\n"};
        QTest::newRow("LF-only lines") << "lf-only.txt" << Records{"A\r\nB\r\n", "C\r\n"};
        QTest::newRow("other CRs stay") << "stray-cr.txt" << Records{"A\rB\r\nC\r\r\n"};
        QTest::newRow("bytes kept as they are") << "cp1252.txt"
                                                << Records{"Gr\xfc\xdf" "e \x80 5\r\n", "Gr\xc3\xbc\xc3\x9f" "e\r\n"};
        QTest::newRow("no separator at all") << "no-separator.txt" << Records{};
    }

    void formatCases()
    {
        QFETCH(QString, fixture);
        QFETCH(Records, expected);
        FortuneList list;
        const LoadResult result = loadFortunesFile(QStringLiteral(FIXTURES_DIR "/") + fixture, list);
        QCOMPARE(result.outcome, LoadResult::Outcome::Loaded);
        QCOMPARE(result.stored, expected.size());
        QCOMPARE(recordsOf(list), expected);
    }

    void invalidUtf8ShownAsWindows1252()
    {
        FortuneList list;
        loadFortunesFile(QStringLiteral(FIXTURES_DIR "/cp1252.txt"), list);
        QCOMPARE(list.count(), 2);
        QCOMPARE(list.textAt(0), QString::fromUtf8("Grüße € 5\r\n"));
        QCOMPARE(list.textAt(1), QString::fromUtf8("Grüße\r\n"));
    }

    void loadAddsAfterWhatIsThere()
    {
        FortuneList list;
        const QString path = QStringLiteral(FIXTURES_DIR "/trailing-lines.txt");
        loadFortunesFile(path, list);
        QVERIFY(list.contains("Z\r\n"));
        const LoadResult again = loadFortunesFile(path, list);
        QCOMPARE(again.stored, 2);
        QCOMPARE(recordsOf(list), (Records{"X\r\nY\r\n", "Z\r\n", "X\r\nY\r\n", "Z\r\n"}));
    }

    void missingAndUnreadable()
    {
        QTemporaryDir dir;
        FortuneList list;
        list.store("kept");
        const LoadResult missing = loadFortunesFile(dir.filePath("nothing-here.txt"), list);
        QCOMPARE(missing.outcome, LoadResult::Outcome::Missing);
        const LoadResult folder = loadFortunesFile(dir.path(), list);
        QCOMPARE(folder.outcome, LoadResult::Outcome::Failed);
        QVERIFY2(folder.error.contains(dir.path()), qPrintable(folder.error));
        // A pipe would block the reader for ever and the writer's tail check.
        const QByteArray fifo = QFile::encodeName(dir.filePath("pipe"));
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        QCOMPARE(loadFortunesFile(QFile::decodeName(fifo), list).outcome, LoadResult::Outcome::Failed);
        QVERIFY(!appendRecord(QFile::decodeName(fifo), "new").ok());
        QCOMPARE(list.count(), 1);
    }

    // Records that straddle chunk boundaries, one line far longer than a
    // chunk, lone LFs and stray CRs, checked against the plain rules.
    void chunkedReadMatchesPlainRules()
    {
        QByteArray file;
        quint32 seed = 12345;
        const auto next = [&] { seed = seed * 1103515245u + 12345u; return seed >> 8; };
        for (int r = 0; r < 20000; ++r) {
            const int lines = int(next() % 4);
            for (int l = 0; l < lines; ++l) {
                file += QByteArray(int(next() % 90), char('a' + next() % 26));
                const quint32 end = next() % 10;
                file += end == 0 ? "\n" : end == 1 ? "\r\r\n" : end == 2 ? "x\ry\r\n" : "\r\n";
            }
            if (r == 7000)
                file += QByteArray(1300 * 1024, 'L') + "\r\n";
            file += kSep + (next() % 5 == 0 ? "\n" : "\r\n");
        }
        file += "tail";
        QTemporaryDir dir;
        const QString path = dir.filePath("big.txt");
        QVERIFY(testutil::writeFile(path, file));
        FortuneList list;
        qsizetype progressCalls = 0, lastReported = -1;
        const LoadResult result = loadFortunesFile(path, list, [&](qsizetype count) {
            ++progressCalls;
            lastReported = count;
        });
        const Records expected = referenceParse(file);
        QCOMPARE(result.stored, expected.size());
        QVERIFY(recordsOf(list) == expected);
        QCOMPARE(lastReported, list.count());
        QVERIFY(progressCalls < 100); // paced by a clock, never once per record
    }

    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("two lines") << QByteArray("X\r\nY");
        QTest::newRow("ends with CR LF") << QByteArray("X\r\nY\r\n");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("LF only") << QByteArray("a\nb");
        QTest::newRow("trailing CR") << QByteArray("line\r");
        QTest::newRow("non-ASCII") << QByteArray("Ärgernis — «ça»");
        QTest::newRow("near-miss separator") << kSep + " \r\nok";
    }

    void roundTrip()
    {
        QFETCH(QByteArray, text);
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        QVERIFY(appendRecord(path, text).ok());
        QCOMPARE(readFile(path), text + "\r\n" + kSep + "\r\n");
        QVERIFY(appendRecord(path, "second").ok());
        FortuneList list;
        QCOMPARE(loadFortunesFile(path, list).outcome, LoadResult::Outcome::Loaded);
        QCOMPARE(recordsOf(list), (Records{recordForm(text), "second\r\n"}));
    }

    void storeNewFortuneMirrorsTheFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        FortuneList list;
        QVERIFY(storeNewFortune(path, "X\r\nY", list).ok());
        QVERIFY(list.contains("X\r\nY\r\n"));
        FortuneList reloaded;
        loadFortunesFile(path, reloaded);
        QCOMPARE(recordsOf(reloaded), recordsOf(list));
    }

    void separatorLineRefused_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("middle line") << "A\r\n" + kSep + "\r\nB";
        QTest::newRow("whole text") << kSep;
        QTest::newRow("last line with CR LF") << kSep + "\r\n";
        QTest::newRow("LF line end") << "A\n" + kSep + "\nB";
    }

    void separatorLineRefused()
    {
        QFETCH(QByteArray, text);
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        QVERIFY(testutil::writeFile(path, "old\r\n" + kSep + "\r\n"));
        FortuneList list;
        const Status status = storeNewFortune(path, text, list);
        QVERIFY(!status.ok());
        QVERIFY2(status.error.contains("separator"), qPrintable(status.error));
        QCOMPARE(readFile(path), "old\r\n" + kSep + "\r\n");
        QCOMPARE(list.count(), 0);
    }

    void strayLinesClosedFirst_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<Records>("expected");
        QTest::newRow("well formed") << "A\r\n" + kSep + "\r\n" << Records{"A\r\n", "N\r\n"};
        QTest::newRow("LF-only well formed") << "A\n" + kSep + "\n" << Records{"A\r\n", "N\r\n"};
        QTest::newRow("stray line") << "A\r\n" + kSep + "\r\nstray\r\n" << Records{"A\r\n", "stray\r\n", "N\r\n"};
        QTest::newRow("stray without line end") << "A\r\n" + kSep + "\r\nstray"
                                                << Records{"A\r\n", "stray\r\n", "N\r\n"};
        QTest::newRow("separator without line end") << "A\r\n" + kSep << Records{"A\r\n", "N\r\n"};
        QTest::newRow("separator then CR") << "A\r\n" + kSep + "\r" << Records{"A\r\n", "N\r\n"};
        QTest::newRow("only stray lines") << QByteArray("s1\r\ns2\r\n") << Records{"s1\r\ns2\r\n", "N\r\n"};
        QTest::newRow("line ending like a separator") << "x" + kSep + "\r\n" << Records{"x" + kSep + "\r\n", "N\r\n"};
        QTest::newRow("separator alone") << kSep << Records{"", "N\r\n"};
    }

    void strayLinesClosedFirst()
    {
        QFETCH(QByteArray, before);
        QFETCH(Records, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        QVERIFY(testutil::writeFile(path, before));
        QVERIFY(appendRecord(path, "N").ok());
        QVERIFY(readFile(path).startsWith(before));
        FortuneList list;
        loadFortunesFile(path, list);
        QCOMPARE(recordsOf(list), expected);
    }

    void openFailureReported()
    {
        QTemporaryDir dir;
        FortuneList list;
        const Status onFolder = storeNewFortune(dir.path(), "text", list);
        QVERIFY(!onFolder.ok());
        QVERIFY2(onFolder.error.contains(dir.path()), qPrintable(onFolder.error));
        const QString inMissingDir = dir.filePath("no/such/dir/fortunes.txt");
        QVERIFY(!appendRecord(inMissingDir, "text").ok());
        QVERIFY(!QFile::exists(inMissingDir));
        QCOMPARE(list.count(), 0);
    }

    // The appender keeps the file open between appends; whatever happened to the
    // file at the path in between must be honoured as by a fresh open.
    void appenderFollowsTheFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        RecordAppender file(path);
        QVERIFY(file.append("A").ok());
        // Another program adds a line without closing it as a record.
        QFile other(path);
        QVERIFY(other.open(QIODevice::Append));
        other.write("stray");
        other.close();
        QVERIFY(file.append("B").ok());
        QCOMPARE(readFile(path), "A\r\n" + kSep + "\r\nstray\r\n" + kSep + "\r\nB\r\n" + kSep + "\r\n");
        // An editor saves a new file in its place; the old one is kept as a backup.
        QVERIFY(testutil::writeFile(dir.filePath("new.txt"), "E\r\n" + kSep + "\r\n"));
        QVERIFY(QFile::rename(path, dir.filePath("fortunes.txt~")));
        QVERIFY(QFile::rename(dir.filePath("new.txt"), path));
        QVERIFY(file.append("C").ok());
        QCOMPARE(readFile(path), "E\r\n" + kSep + "\r\nC\r\n" + kSep + "\r\n");
        // Removed: the next append starts a new file.
        QVERIFY(QFile::remove(path));
        QVERIFY(file.append("D").ok());
        QCOMPARE(readFile(path), "D\r\n" + kSep + "\r\n");
        QCOMPARE(readFile(dir.filePath("fortunes.txt~")), "A\r\n" + kSep + "\r\nstray\r\n" + kSep + "\r\nB\r\n"
                                                            + kSep + "\r\n");
    }

    // A file size limit makes the write come back short, as on a full disk.
    void shortWriteCutBack()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        const QByteArray before = "A\r\n" + kSep + "\r\n";
        QVERIFY(testutil::writeFile(path, before));
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{rlim_t(before.size() + 10), rlim_t(before.size() + 10)};
            setrlimit(RLIMIT_FSIZE, &limit);
            FortuneList list;
            const Status status = storeNewFortune(path, "a fortune longer than ten bytes", list);
            const bool sound = !status.ok() && status.error.contains(path) && list.count() == 0;
            _exit(sound ? 0 : 1);
        }
        int wstatus = 0;
        QCOMPARE(waitpid(child, &wstatus, 0), child);
        QVERIFY(WIFEXITED(wstatus));
        QCOMPARE(WEXITSTATUS(wstatus), 0);
        QCOMPARE(readFile(path), before);
    }

    void fullListStopsLoadingAndStoring()
    {
        FortuneList list;
        for (qsizetype i = 0; i < kSlotCount - 1; ++i)
            QVERIFY(list.store("x").ok());
        const LoadResult result = loadFortunesFile(QStringLiteral(FIXTURES_DIR "/two-separators.txt"), list);
        QCOMPARE(result.outcome, LoadResult::Outcome::Full);
        QCOMPARE(result.stored, 1);
        QVERIFY(!result.error.isEmpty());
        QCOMPARE(list.count(), kSlotCount);
        QCOMPARE(list.rawAt(kSlotCount - 1), QByteArrayView("A\r\n"));

        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        const Status refused = storeNewFortune(path, "one too many", list);
        QVERIFY(!refused.ok());
        QVERIFY(!QFile::exists(path)); // nothing written
        QCOMPARE(list.count(), kSlotCount);
        QVERIFY(list.rawAt(kSlotCount).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFortunesFile)
#include "tst_fortunesfile.moc"
