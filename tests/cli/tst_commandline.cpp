// The command line's parsing and its console actions, on fixture files.
#include "commandline.h"
#include "startup.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTest>

using fortune::Invocation;
using Action = fortune::Invocation::Action;

Q_DECLARE_METATYPE(fortune::Invocation::Action)

namespace {

QString fixture(const char *name)
{
    return QStringLiteral(FIXTURES_DIR "/") + QLatin1String(name);
}

struct Run {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const QStringList &args, const QString &collection)
{
    QBuffer out;
    QBuffer err;
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
    QRandomGenerator random(7);
    QStringList all{QStringLiteral("fortune-collector")};
    all += args;
    Run result;
    result.code = fortune::runConsoleAction(fortune::parseArguments(all), collection, out, err, random);
    result.out = out.data();
    result.err = err.data();
    return result;
}

} // namespace

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { fortune::describeApplication(); }

    void parse_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<Action>("action");
        QTest::addColumn<QString>("term");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("site");

        const QString none;
        QTest::newRow("nothing opens the window") << QStringList{} << Action::Window << none << none << none;
        QTest::newRow("site is passed on")
            << QStringList{"--site", "example.org:8080"} << Action::Window << none << none
            << QStringLiteral("example.org:8080");
        QTest::newRow("toolkit options are left to the window")
            << QStringList{"-platform", "offscreen", "-style=fusion", "-reverse", "--site=h"}
            << Action::Window << none << none << QStringLiteral("h:80");
        QTest::newRow("a bad site is refused before the window opens")
            << QStringList{"--site", "h:99999"} << Action::UsageError << none << none << none;
        QTest::newRow("start-up benchmark hook") << QStringList{"--quit-after-start"} << Action::Window
                                                 << none << none << none;
        QTest::newRow("count") << QStringList{"--count"} << Action::Count << none << none << none;
        QTest::newRow("search keeps the term as typed")
            << QStringList{"--search", "cAt <b>"} << Action::Search << QStringLiteral("cAt <b>") << none
            << none;
        QTest::newRow("search for the empty term")
            << QStringList{"--search="} << Action::Search << none << none << none;
        QTest::newRow("random from a file")
            << QStringList{"--random", "--file", "/x/f.txt"} << Action::Random << none
            << QStringLiteral("/x/f.txt") << none;
        QTest::newRow("help wins") << QStringList{"--count", "--help"} << Action::Help << none << none
                                   << none;
        QTest::newRow("version") << QStringList{"--version"} << Action::Version << none << none << none;
        QTest::newRow("two actions") << QStringList{"--count", "--random"} << Action::UsageError << none
                                     << none << none;
        QTest::newRow("file without an action")
            << QStringList{"--file", "f.txt"} << Action::UsageError << none << none << none;
        QTest::newRow("stray argument") << QStringList{"--count", "f.txt"} << Action::UsageError << none
                                        << none << none;
        QTest::newRow("unknown option") << QStringList{"--counts"} << Action::UsageError << none << none
                                        << none;
        QTest::newRow("search without a term")
            << QStringList{"--search"} << Action::UsageError << none << none << none;
    }

    void parse()
    {
        QFETCH(QStringList, args);
        QFETCH(Action, action);
        args.prepend(QStringLiteral("fortune-collector"));
        const Invocation invocation = fortune::parseArguments(args);
        QCOMPARE(invocation.action, action);
        QCOMPARE(invocation.error.isEmpty(), action != Action::UsageError);
        if (action == Action::UsageError)
            return;
        QTEST(invocation.term, "term");
        QTEST(invocation.file, "file");
        QTEST(invocation.site ? invocation.site->display() : QString(), "site");
    }

    void actions_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("collection");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("out");

        const QString three = fixture("three.txt");
        const QString missing = fixture("no-such-file.txt");
        QTest::newRow("count") << QStringList{"--count"} << three << 0 << QByteArray("3\n");
        QTest::newRow("count, file option") << QStringList{"--count", "--file", three} << missing << 0
                                            << QByteArray("3\n");
        QTest::newRow("count, LF file, last separator without line break")
            << QStringList{"--count", "--file", fixture("lf.txt")} << missing << 0 << QByteArray("2\n");
        QTest::newRow("count drops the tail") << QStringList{"--count", "--file", fixture("tail.txt")}
                                              << missing << 0 << QByteArray("1\n");
        QTest::newRow("count, empty file") << QStringList{"--count"} << fixture("empty.txt") << 0
                                           << QByteArray("0\n");
        QTest::newRow("search counts the first fortune too")
            << QStringList{"--search", "cAt"} << three << 0 << QByteArray("2 fortunes contain 'cAt'.\n");
        QTest::newRow("search ignores case beyond a-z")
            << QStringList{"--search", "ärger"} << three << 0
            << QByteArray("1 fortunes contain 'ärger'.\n");
        QTest::newRow("search, empty term") << QStringList{"--search", ""} << three << 0
                                            << QByteArray("3 fortunes contain ''.\n");
        QTest::newRow("random, one record")
            << QStringList{"--random", "--file", fixture("one.txt")} << missing << 0
            << QByteArray("Where there is a will,\nthere is a <b>way</b>.\n");
        QTest::newRow("random, not UTF-8") << QStringList{"--random"} << fixture("latin1.txt") << 0
                                           << QByteArray("café crème\n");
        QTest::newRow("random, empty file") << QStringList{"--random"} << fixture("empty.txt") << 0
                                            << QByteArray();
        // Before the first download the collection does not exist yet.
        QTest::newRow("own collection missing: count") << QStringList{"--count"} << missing << 0
                                                       << QByteArray("0\n");
        QTest::newRow("own collection missing: search")
            << QStringList{"--search", "x"} << missing << 0 << QByteArray("0 fortunes contain 'x'.\n");
        QTest::newRow("own collection missing: random") << QStringList{"--random"} << missing << 0
                                                        << QByteArray();
        // A file named on the command line must be there.
        for (const char *action : {"--count", "--random"}) {
            QTest::addRow("named file missing: %s", action)
                << QStringList{action, "--file", missing} << three << 1 << QByteArray();
        }
        QTest::newRow("named file missing: search")
            << QStringList{"--search", "x", "--file", missing} << three << 1 << QByteArray();
        QTest::newRow("a directory is not a fortunes file")
            << QStringList{"--count", "--file", QStringLiteral(FIXTURES_DIR)} << three << 1
            << QByteArray();
        QTest::newRow("usage error") << QStringList{"--count", "--random"} << three
                                     << fortune::kUsageExitCode << QByteArray();
    }

    void actions()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, collection);
        QFETCH(int, code);
        QFETCH(QByteArray, out);
        const Run result = run(args, collection);
        QCOMPARE(result.out, out);
        QCOMPARE(result.code, code);
        if (code == 0) {
            QVERIFY2(result.err.isEmpty(), result.err.constData());
        } else {
            // One clear line, naming the program.
            QVERIFY(result.err.startsWith("fortune-collector: "));
            QVERIFY(result.err.endsWith('\n'));
            QCOMPARE(result.err.count('\n'), 1);
        }
    }

    void helpSaysWhereTheCollectionIs()
    {
        const QString collection = QStringLiteral("/some/where/fortunes.txt");
        const Run result = run({QStringLiteral("--help")}, collection);
        QCOMPARE(result.code, 0);
        QVERIFY(result.out.contains(collection.toUtf8()));
        for (const char *option : {"--count", "--search", "--random", "--file", "--site", "--version"})
            QVERIFY2(result.out.contains(option), option);
        QVERIFY(!result.out.contains("quit-after-start"));
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
