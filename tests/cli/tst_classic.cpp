// Classic fortune files (Debian's fortunes-min): the reader, and --export
// against the classic programs themselves, strfile and fortune.
#include "../testutil.h"
#include "classicfile.h"

#include <QRegularExpression>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace Qt::StringLiterals;
using Records = QList<QByteArray>;

namespace {

const QString kFortunes = u"/usr/share/games/fortunes/fortunes"_s;

Records recordsOf(const fortune::FortuneList &list)
{
    Records out;
    for (qsizetype i = 0; i < list.count(); ++i)
        out << list.rawAt(i).toByteArray();
    return out;
}

testutil::Ran program(const QStringList &args)
{
    return testutil::run(QStringLiteral(FORTUNE_EXE), args, QProcessEnvironment::systemEnvironment(), 60'000);
}

} // namespace

class TestClassic : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const char *name) const { return m_dir.filePath(QLatin1String(name)); }

private slots:
    void reader_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<Records>("records");
        QTest::addColumn<QByteArray>("charset");
        QTest::addColumn<QList<qsizetype>>("leftOut"); // the numbers of the fortunes left out with a warning
        const auto row = [](const char *name, const QByteArray &file, const Records &records, const char *charset = "",
                            const QList<qsizetype> &leftOut = {}) {
            QTest::newRow(name) << file << records << QByteArray(charset) << leftOut;
        };
        const QByteArray longLine(3 << 20, 'x'); // longer than one read
        const QByteArray sep = testutil::kSep + "\r\n";
        row("LF, % after each", "a\nb\n%\nc\n%\n", {"a\r\nb\r\n", "c\r\n"});
        row("the last without % or line end", "a\n%\nlast", {"a\r\n", "last\r\n"});
        row("CR LF", "a\r\n%\r\nb\r\n", {"a\r\n", "b\r\n"});
        row("nothing to read is left out", "%\n%\n \n\t\n%\nx\n%\n%", {"x\r\n"});
        row("lines that only look like %", "% a\n%%\n %\n50%\n%\n", {"% a\r\n%%\r\n %\r\n50%\r\n"});
        row("blank lines and a stray CR stay", "a\n\nb\rc\n\n%\n", {"a\r\n\r\nb\rc\r\n\r\n"});
        row("Windows-1252 where not UTF-8", "caf\xE9 \x80\n%\n\xE2\x82\xAC\n", {"caf\xC3\xA9 \xE2\x82\xAC\r\n", "\xE2\x82\xAC\r\n"});
        row("UTF-8 byte-order mark", "\xEF\xBB\xBF" "a\n%\n", {"a\r\n"});
        row("own format, % lines and all", "x\r\n%\r\n" + sep + "y\r\n", {"x\r\n%\r\n"});
        row("empty file", QByteArray(), {});
        row("a line longer than a read", longLine + "\n%\ny", {longLine + "\r\n", "y\r\n"});
        row("NUL bytes, counted from 1 with empty fortunes", "a\n%\n%\nb\0c\n%\nd\0"_ba, {"a\r\n"}, "", {3, 4});
        row("own format, NUL bytes", "x\r\n" + sep + "\r\n" + sep + "y\0\r\n"_ba + sep, {"x\r\n", "\r\n"}, "", {3});
        row("own format in UTF-16", "\xFF\xFE" + QStringEncoder(QStringConverter::Utf16LE)(u"\u0109\r\n"_s + testutil::kSep + "\r\n"),
            {"\xC4\x89\r\n"}, "ISO-8859-3");
        row("ISO-8859-3, and a byte it lacks", "\xE6u\r\n%\n\xA5\n%\n\xF8\n", {"\xC4\x89u\r\n", "\xC4\x9D\r\n"}, "iso-8859-3", {2});
        row("own format in ISO-8859-3", "\xE6\r\n" + sep, {"\xC4\x89\r\n"}, "ISO-8859-3");
        row("a byte-order mark outweighs the charset", "\xEF\xBB\xBF\xC4\x89\n", {"\xC4\x89\r\n"}, "ISO-8859-3");
        row("a strict UTF-8", "\xE9\n%\n\xC3\xA9\n", {"\xC3\xA9\r\n"}, "UTF-8", {1});
    }

    void reader()
    {
        QFETCH(QByteArray, file);
        QFETCH(QByteArray, charset);
        QVERIFY(testutil::writeFile(path("in"), file));
        const fortune::AnyFileLoad load = fortune::loadAnyFortunesFile(path("in"), charset);
        QCOMPARE(load.result.outcome, fortune::LoadResult::Outcome::Loaded);
        QTEST(recordsOf(*load.list), "records");
        QList<qsizetype> leftOut;
        for (const fortune::AnyFileLoad::LeftOut &left : load.leftOut)
            leftOut << left.number;
        QTEST(leftOut, "leftOut");
    }

    // strfile indexes the export, fortune picks from it and finds in it
    // what --search finds, and reading it back gives the same fortunes.
    void againstFortune()
    {
        QVERIFY2(QFile::exists(u"/usr/games/fortune"_s) && QFile::exists(kFortunes), "run tools/deps --test");
        const fortune::AnyFileLoad debian = fortune::loadAnyFortunesFile(kFortunes);
        QVERIFY(debian.classic && debian.list->count() > 100);
        const Records fortunes = recordsOf(*debian.list);
        QProcess site; // what tools/run serves to the window
        site.start(QStringLiteral(FORTUNE_SITE), {"--port", "0", "--file", kFortunes});
        QVERIFY(site.waitForReadyRead(20'000));
        QVERIFY2(site.readAll().contains(" " + QByteArray::number(fortunes.size()) + " fortunes"), site.readAllStandardError());
        site.kill();
        site.waitForFinished();
        QByteArray collection; // and a fortune with a line "%", an empty one, one in Windows-1252
        for (const QByteArray &text : fortunes + Records{"100\r\n%\r\n", "", "Caf\xE9 Love\r\n"})
            collection += text + testutil::kSep + "\r\n";
        QVERIFY(testutil::writeFile(path("c.txt"), collection));
        const testutil::Ran exported = program({"--export", path("e"), "--file", path("c.txt")});
        QCOMPARE(exported.code, 0);
        QCOMPARE(exported.out, QByteArray::number(fortunes.size() + 1) + " fortunes exported\n");
        QVERIFY2(exported.err.startsWith("fortune-collector: 1 fortunes left out"), exported.err);

        const testutil::Ran indexed = testutil::run(u"strfile"_s, {path("e")});
        QCOMPARE(QRegularExpression(u"There were (\\d+) strings"_s).match(QString::fromUtf8(indexed.out)).captured(1),
                 QString::number(fortunes.size() + 1));
        Records written = fortunes;
        written << "Caf\xC3\xA9 Love\r\n";
        for (QByteArray &text : written)
            text.replace("\r\n", "\n");
        const testutil::Ran picked = testutil::run(u"/usr/games/fortune"_s, {path("e")});
        QVERIFY2(picked.code == 0 && written.contains(picked.out), picked.out + picked.err);
        // --list prints what fortune -m finds, as fortune prints it; the
        // fortune with a line "%" is counted but left out, as by --export.
        for (const QByteArray term : {"love", "the", "zyxxy", "100"}) {
            const testutil::Ran found = testutil::run(u"/usr/games/fortune"_s, {"-i", "-m", term, path("e")});
            const testutil::Ran searched = program({"--search", term, "--file", path("c.txt")});
            const QByteArray said = QByteArray::number(found.out.count("\n%\n") + (term == "100")) + " fortunes contain '" + term + "'.\n";
            QCOMPARE(searched.out, said);
            const testutil::Ran listed = program({"--search", term, "--list", "--file", path("c.txt")});
            QCOMPARE(listed.out, found.out);
            QVERIFY2(listed.code == 0 && listed.err.endsWith(said) && listed.err.contains("left out") == (term == "100"), listed.err);
            QVERIFY(testutil::writeFile(path("listed"), listed.out));
            const testutil::Ran listIndexed = testutil::run(u"strfile"_s, {path("listed")});
            QVERIFY(listed.out.isEmpty() || listIndexed.out.contains("There were " + QByteArray::number(listed.out.count("\n%\n")) + " strings"));
        }
        const fortune::AnyFileLoad back = fortune::loadAnyFortunesFile(path("e"));
        QCOMPARE(recordsOf(*back.list), fortunes + Records{"Caf\xC3\xA9 Love\r\n"});
    }

    // --import: as many fortunes as strfile counts, nothing twice (not even
    // one the file itself repeats), a round trip through --export gives the
    // same fortunes in order, and a file that cannot be read keeps the rest.
    void import()
    {
        const QString c = path("imported.txt");
        const testutil::Ran indexed = testutil::run(u"strfile"_s, {kFortunes, path("dat")});
        const QString strings = QRegularExpression(u"There were (\\d+) strings"_s).match(QString::fromUtf8(indexed.out)).captured(1);
        QVERIFY2(!strings.isEmpty(), indexed.out + indexed.err);
        testutil::Ran ran = program({"--import", kFortunes, "--file", c});
        QCOMPARE(ran.out, strings.toUtf8() + " new fortunes, 0 already in the collection\n");
        QCOMPARE(program({"--count", "--file", c}).out, strings.toUtf8() + "\n");
        const Records first = testutil::recordsOf(c);
        QVERIFY(testutil::writeFile(path("more"), first[0] + "%\nnew\n%\nnew\n"));
        ran = program({"--import", kFortunes, "--import", path("more"), "--import", path("missing"), "--file", c});
        QCOMPARE(ran.code, 1);
        QCOMPARE(ran.out, "1 new fortunes, " + QByteArray::number(strings.toInt() + 2) + " already in the collection\n");
        QVERIFY2(ran.err.count('\n') == 1 && ran.err.contains("missing"), ran.err);
        QCOMPARE(testutil::recordsOf(c), first + Records{"new\r\n"});

        QCOMPARE(program({"--export", path("e"), "--file", c}).code, 0);
        ran = program({"--import", path("e"), "--file", path("back.txt")});
        QCOMPARE(ran.code, 0);
        QCOMPARE(testutil::recordsOf(path("back.txt")), first + Records{"new\r\n"});

        // A binary file's fortunes with NUL bytes are left out, each told; a
        // legacy 8-bit file is read in the encoding given.
        QVERIFY(testutil::writeFile(path("binary"), "\x7f" "ELF\x02\x01\0\0\n%\nplain\n"_ba));
        const QString eo = testutil::fixture("esperanto-iso8859-3.txt");
        ran = program({"--import", path("binary"), "--import", eo, "--encoding", "ISO-8859-3", "--file", path("eo.txt")});
        QCOMPARE(ran.code, 0);
        QCOMPARE(ran.out, "4 new fortunes, 0 already in the collection, 1 left out\n");
        QCOMPARE(ran.err, "fortune-collector: \"" + path("binary").toUtf8() + "\": fortune 1 left out: it holds NUL bytes (is it a binary file?).\n");
        QCOMPARE(program({"--search", "ĉ", "--file", path("eo.txt")}).out, "2 fortunes contain 'ĉ'.\n");
    }

    // What is at the target decides how it is written: a file is replaced in
    // one step, anything else written in place; a write error is exit 1 with
    // its reason, but a reader of --list that stops early ends it quietly. In
    // sh, in a fresh folder: "fc" runs on the collection, and "t" holds what
    // it wrote (E in the rows: the export, S: its summary).
    void outputs_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("t");   // null: there is none
        QTest::addColumn<QByteArray>("out"); // stdout
        QTest::addColumn<QByteArray>("err"); // found in stderr; empty: stderr is empty
        const auto row = [](const char *name, const char *command, int code, const QByteArray &t, const QByteArray &out,
                            const QByteArray &err = {}) { QTest::newRow(name) << QString::fromUtf8(command) << code << t << out << err; };
        row("regular file", "echo old > t; fc --export t", 0, "E", "S");
        row("new path", "fc --export t", 0, "E", "S");
        row("symbolic link, followed", "echo old > t; ln -s t link; fc --export link && test -L link", 0, "E", "S");
        row("FIFO with a reader", "mkfifo p; timeout 5 cat p > t & fc --export p && wait $! && test -p p", 0, "E", "S");
        row("device, full", "fc --export /dev/full; s=$?; test -c /dev/full && exit $s", 1, {}, "",
            "\"/dev/full\": No space left on device.");
        row("- is the standard output", "fc --export - > t", 0, "E", "", "S");
        row("a log that stdout appends to", "echo old > t; (echo before; fc --export /dev/stdout; echo after) >> t", 0,
            "old\nbefore\nEafter\n", "", "S");
        row("reader gone", "{ fc --export /dev/stdout; echo $? > s; } | head -c 1 > /dev/null; exit $(cat s)", 1, {}, "",
            "\"/dev/stdout\": Broken pipe.");
        row("list", "fc --search 'NuMBer 19999' --list", 0, {}, "Fortune number 19999\n%\n",
            "1 fortunes contain 'NuMBer 19999'.");
        row("list, the reader stops early", "{ fc --search number --list; echo $? > s; } | head -n 2; exit $(cat s)",
            141, {}, "Fortune number 0\n%\n");
        row("list, disk full", "fc --search number --list > /dev/full", 1, {}, "", "No space left on device");
    }

    void outputs()
    {
        QFETCH(QString, command);
        QFETCH(int, code);
        QFETCH(QByteArray, t);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QTemporaryDir dir;
        QList<QByteArray> texts; // far more than a pipe holds
        QByteArray exported;
        for (int i = 0; i < 20000; ++i) {
            texts << "Fortune number " + QByteArray::number(i);
            exported += texts.last() + "\n%\n";
        }
        QVERIFY(testutil::writeFile(dir.filePath(u"c.txt"_s), testutil::fortunesFile(texts)));
        for (QByteArray *expected : {&t, &out, &err}) {
            if (!expected->isNull())
                expected->replace("E", exported).replace("S", "20000 fortunes exported\n");
        }
        // Never as root: a fault that replaces what it should write into
        // would replace the system's /dev/full.
        QStringList args{"-c", "cd \"$1\" && fc() { \"$0\" --file c.txt \"$@\"; }; " + command,
                         QStringLiteral(FORTUNE_EXE), dir.path()};
        if (geteuid() == 0) {
            QVERIFY(QFile::setPermissions(dir.path(), QFile::Permissions(0x7777)));
            args = QStringList{"--reuid=65534", "--regid=65534", "--clear-groups", "--", "sh"} + args;
        }
        const testutil::Ran ran = testutil::run(geteuid() == 0 ? u"setpriv"_s : u"sh"_s, args,
                                                QProcessEnvironment::systemEnvironment(), 30'000);
        QCOMPARE(ran.code, code);
        QCOMPARE(ran.out, out);
        QVERIFY2(err.isEmpty() ? ran.err.isEmpty() : ran.err.contains(err), ran.err);
        QCOMPARE(testutil::readFile(dir.filePath(u"t"_s)), t);
    }

    // Never onto the file it reads, by any name.
    void exportRefused_data()
    {
        QTest::addColumn<QString>("link");
        QTest::newRow("the same name") << QString();
        QTest::newRow("a symbolic link") << u"symbolic"_s;
        QTest::newRow("a hard link") << u"hard"_s;
    }

    void exportRefused()
    {
        QFETCH(QString, link);
        const QByteArray collection = testutil::fortunesFile({"one", "two"});
        QVERIFY(testutil::writeFile(path("c.txt"), collection));
        QString target = path("c.txt");
        if (!link.isEmpty()) {
            target = m_dir.filePath(link);
            QFile::remove(target);
            QVERIFY(link == u"hard"_s ? ::link(qPrintable(path("c.txt")), qPrintable(target)) == 0
                                      : QFile::link(path("c.txt"), target));
        }
        const testutil::Ran ran = program({"--export", target, "--file", path("c.txt")});
        QCOMPARE(ran.code, 1);
        QVERIFY2(ran.err.contains("itself"), ran.err);
        QCOMPARE(testutil::readFile(path("c.txt")), collection);
    }
};

QTEST_GUILESS_MAIN(TestClassic)
#include "tst_classic.moc"
