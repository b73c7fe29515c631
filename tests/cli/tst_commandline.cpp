// The command line: what it hands the window, where the collection lies, and the program as a
// script sees it (answers on stdout; one line on stderr and exit status 1 for a file it cannot
// use or an answer it cannot write, 2 for a command line that makes no sense).
#include "../testutil.h"
#include "commandline.h"
#include "location.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using testutil::fixture;
using testutil::kSep;
using Action = fortune::Invocation::Action;

class TestCommandLine : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir; // a copy of the program; its collection lies beside it
    QString m_program;

    QString path(const char *name) const { return m_dir.filePath(QLatin1String(name)); }

private slots:
    void initTestCase()
    {
        m_program = path("fortune-collector");
        QVERIFY(QFile::copy(QStringLiteral(FORTUNE_EXE), m_program));
        QVERIFY(QDir().mkdir(path("folder")));
        QCOMPARE(mkfifo(qPrintable(path("fifo")), 0600), 0);
    }

    // Beside the program when it may be written there or is already there,
    // otherwise in the user's data folder.
    void collectionPlace_data()
    {
        QTest::addColumn<QString>("facts");
        QTest::addColumn<bool>("besideProgram");
        QTest::newRow("build folder or portable copy") << "writable" << true;
        QTest::newRow("read-only, but holds the collection") << "has-file" << true;
        QTest::newRow("installed copy") << "" << false;
        QTest::newRow("installed copy started by root") << "writable system" << false;
        QTest::newRow("no data folder") << "no-data" << true;
    }

    void collectionPlace()
    {
        QFETCH(QString, facts);
        QFETCH(bool, besideProgram);
        const auto has = [&](const char *fact) { return facts.contains(QLatin1String(fact)); };
        const fortune::CollectionPlace place{u"/p"_s, has("writable"), has("has-file"), has("system"),
                                             has("no-data") ? QString() : u"/d"_s};
        QCOMPARE(fortune::chooseCollectionDir(place), besideProgram ? place.programDir : place.dataDir);
    }

    void windowOptions()
    {
        const auto parse = [](const QStringList &args) { return fortune::parseArguments(QStringList{QString()} + args); };
        const fortune::Invocation plain = parse({});
        QVERIFY(plain.action == Action::Window && !plain.start.site && !plain.start.quitAfterStart
                && !plain.start.startDownload && plain.start.toolkitOptions.isEmpty());
        const fortune::Invocation all = parse({"-platform", "offscreen", "-style=fusion", "--reverse", "--site",
                                               "example.org:8080", "--quit-after-start", "--start-download"});
        QCOMPARE(all.start.site->display(), u"example.org:8080"_s);
        QVERIFY(all.action == Action::Window && all.start.quitAfterStart && all.start.startDownload);
        QCOMPARE(all.start.toolkitOptions, (QStringList{"-platform", "offscreen", "-style=fusion", "--reverse"}));
        QCOMPARE(parse({"--site", "h:99999"}).action, Action::UsageError); // before the window opens
    }

    void console_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("collection"); // null: there is none yet
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("out");

        auto row = [](const char *name, const QStringList &args, const QByteArray &collection, int code,
                      const QByteArray &out) { QTest::newRow(name) << args << collection << code << out; };
        const QByteArray three = testutil::readFile(fixture("three.txt"));
        const QByteArray none;
        row("count", {"--count"}, three, 0, "3\n");
        const QByteArray tooMany = (kSep + "\r\n").repeated(1'000'002);
        row("count, more fortunes than the list holds", {"--count"}, tooMany, 1, "");
        row("search, more fortunes than the list holds", {"--search", "", "--list"}, tooMany, 1, "");
        row("search ignores case beyond a-z", {"--search", "äRger"}, three, 0, "1 fortunes contain 'äRger'.\n");
        row("a value may start with a dash", {"--search", "-style", "--file", fixture("three.txt")}, none, 0,
            "0 fortunes contain '-style'.\n");
        row("a toolkit option never takes the program's", {"-style", "--count"}, three, 0, "3\n");
        row("random", {"--random", "--file", fixture("one.txt")}, none, 0,
            "Where there is a will,\nthere is a <b>way</b>.\n");
        row("random, not UTF-8", {"--random"}, testutil::readFile(fixture("latin1.txt")), 0, "café crème\n");
        row("random, nothing to pick", {"--random", "--file", fixture("empty.txt")}, three, 1, "");
        // 160 characters with the line break, in 319 bytes; 161 in as many.
        const QByteArray lengths = testutil::fortunesFile({QByteArray("\xC3\xA4").repeated(159), QByteArray(160, 'a')});
        row("random, short", {"--random", "--short"}, lengths, 0, QByteArray("\xC3\xA4").repeated(159) + "\n");
        row("random, long", {"--random", "--long"}, lengths, 0, QByteArray(160, 'a') + "\n");
        row("random, none short enough", {"--random", "--short", "--length", "159"}, lengths, 1, "");
        row("no collection yet: count", {"--count"}, none, 0, "0\n");
        row("no collection yet: random", {"--random"}, none, 1, "");
        for (const char *file : {"missing", "folder", "fifo"}) {
            const QString named = path(file);
            QTest::addRow("%s: count", file) << QStringList{"--count", "--file", named} << three << 1 << QByteArray();
            QTest::addRow("%s: search", file) << QStringList{"--search", "x", "--file", named} << three << 1 << QByteArray();
            QTest::addRow("%s: random", file) << QStringList{"--random", "--file", named} << three << 1 << QByteArray();
        }
        QTest::newRow("a name with a line break") << QStringList{"--count", "--file", path("a\nb")} << three << 1 << QByteArray();
        row("two actions", {"--count", "--random"}, three, 2, "");
        row("search without a term", {"--search"}, three, 2, "");
        row("file without an action", {"--file", "f.txt"}, three, 2, "");
        row("list without a search", {"--count", "--list"}, three, 2, "");
        row("short and long", {"--random", "--short", "--long"}, three, 2, "");
        row("short without random", {"--search", "x", "--short"}, three, 2, "");
        row("length without random", {"--count", "--length", "9"}, three, 2, "");
        row("length without short or long", {"--random", "--length", "9"}, three, 2, "");
        for (const char *n : {"0", "-1", "x", "1000001", ""})
            QTest::addRow("length %s", n) << QStringList{"--random", "--long", "--length", n} << three << 2 << QByteArray();
        row("encoding without an import", {"--count", "--encoding", "latin1"}, three, 2, "");
        row("encoding the system does not know", {"--import", fixture("one.txt"), "--encoding", "x-nonesuch"}, three, 2, "");
        row("encoding whose line ends are not bytes", {"--import", fixture("one.txt"), "--encoding", "UTF-16"}, three, 2, "");
        row("the window gets the toolkit's options", {"-platform", "offscreen", "--quit-after-start"}, three, 0, "");
    }

    // Run with no display and no Qt platform: a window would fail to start.
    void console()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, collection);
        QFETCH(int, code);
        QFile::remove(path("fortunes.txt"));
        if (!collection.isNull())
            QVERIFY(testutil::writeFile(path("fortunes.txt"), collection));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        env.insert(u"XDG_RUNTIME_DIR"_s, m_dir.path());
        const testutil::Ran ran = testutil::run(m_program, args, env, 20'000);
        QTEST(ran.out, "out");
        QCOMPARE(ran.code, code);
        if (QProcess full; code == 0 && !ran.out.isEmpty()) { // the same answer to a full disk
            full.setStandardOutputFile(u"/dev/full"_s);
            full.start(m_program, args);
            QVERIFY(full.waitForFinished(20'000) && full.exitCode() == 1);
        }
        QVERIFY2(code == 0 ? ran.err.isEmpty() : ran.err.startsWith("fortune-collector: ") && ran.err.count('\n') == 1,
                 ran.err.constData());
        // A file it cannot read: the loader's own words, as the window shows them.
        fortune::FortuneList list;
        const qsizetype file = args.indexOf(u"--file"_s);
        const fortune::LoadResult loaded = fortune::loadFortunesFile(file < 0 ? path("fortunes.txt") : args[file + 1], list);
        if (code == 1 && loaded.outcome != fortune::LoadResult::Outcome::Loaded)
            QCOMPARE(ran.err, "fortune-collector: " + loaded.error.toUtf8() + '\n');
        // Named exactly, a line break as "\n".
        if (code == 1 && file >= 0)
            QVERIFY2(ran.err.contains('"' + QString(args[file + 1]).replace(u'\n', u"\\n"_s).toUtf8() + '"'), ran.err);
    }

    void help()
    {
        QList<QByteArray> out;
        for (const char *option : {"--help", "--help-all", "--version"}) {
            const testutil::Ran ran = testutil::run(m_program, {QLatin1String(option)});
            QCOMPARE(ran.code, 0);
            out << ran.out;
        }
        QVERIFY(out[0].contains(QDir::toNativeSeparators(path("fortunes.txt")).toUtf8()));
        QVERIFY(!out[0].contains("quit-after-start") && !out[0].contains("-platform <"));
        QVERIFY(out[1].startsWith(out[0].left(out[0].indexOf("\nThe collection"))) && out[1].contains("-platform <"));
        QVERIFY(out[2].startsWith("fortune-collector "));

        // The place rule's facts, as the file system tells them (even root cannot write below a file).
        QVERIFY(fortune::collectionPlaceFor(u"/usr/bin"_s).systemInstall);
        QVERIFY(!fortune::collectionPlaceFor(path("fortune-collector/bin")).programDirWritable);
        QVERIFY(testutil::writeFile(path("fortunes.txt"), {}) && fortune::collectionPlaceFor(m_dir.path()).programDirHasFile);
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
