// The command line's parsing and its console actions, on fixture files.
#include "../testutil.h"
#include "commandline.h"
#include "startup.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTest>

using fortune::Invocation;
using Action = fortune::Invocation::Action;

Q_DECLARE_METATYPE(fortune::Invocation::Action)

using testutil::fixture;

namespace {

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

        auto row = [](const char *name, const QStringList &args, Action action, const QString &term = {},
                      const QString &file = {}, const QString &site = {}) {
            QTest::newRow(name) << args << action << term << file << site;
        };
        row("nothing opens the window", {}, Action::Window);
        row("site is passed on", {"--site", "example.org:8080"}, Action::Window, {}, {}, "example.org:8080");
        row("toolkit options are left to the window",
            {"-platform", "offscreen", "-style=fusion", "-reverse", "--site=h"}, Action::Window, {}, {}, "h:80");
        row("a bad site is refused before the window opens", {"--site", "h:99999"}, Action::UsageError);
        row("start-up benchmark hook", {"--quit-after-start"}, Action::Window);
        row("count", {"--count"}, Action::Count);
        row("search keeps the term as typed", {"--search", "cAt <b>"}, Action::Search, "cAt <b>");
        row("search for the empty term", {"--search="}, Action::Search);
        row("random from a file", {"--random", "--file", "/x/f.txt"}, Action::Random, {}, "/x/f.txt");
        row("help wins", {"--count", "--help"}, Action::Help);
        row("version", {"--version"}, Action::Version);
        row("two actions", {"--count", "--random"}, Action::UsageError);
        row("file without an action", {"--file", "f.txt"}, Action::UsageError);
        row("stray argument", {"--count", "f.txt"}, Action::UsageError);
        row("unknown option", {"--counts"}, Action::UsageError);
        row("search without a term", {"--search"}, Action::UsageError);
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

        auto row = [](const char *name, const QStringList &args, const QString &collection, int code,
                      const QByteArray &out) { QTest::newRow(name) << args << collection << code << out; };
        const QString three = fixture("three.txt");
        const QString missing = fixture("no-such-file.txt");
        row("count", {"--count"}, three, 0, "3\n");
        row("count, file option", {"--count", "--file", three}, missing, 0, "3\n");
        row("count, LF file, last separator without line break", {"--count", "--file", fixture("lf.txt")}, missing,
            0, "2\n");
        row("count drops the tail", {"--count", "--file", fixture("tail.txt")}, missing, 0, "1\n");
        row("count, empty file", {"--count"}, fixture("empty.txt"), 0, "0\n");
        row("search counts the first fortune too", {"--search", "cAt"}, three, 0, "2 fortunes contain 'cAt'.\n");
        row("search ignores case beyond a-z", {"--search", "ärger"}, three, 0, "1 fortunes contain 'ärger'.\n");
        row("search, empty term", {"--search", ""}, three, 0, "3 fortunes contain ''.\n");
        row("random, one record", {"--random", "--file", fixture("one.txt")}, missing, 0,
            "Where there is a will,\nthere is a <b>way</b>.\n");
        row("random, not UTF-8", {"--random"}, fixture("latin1.txt"), 0, "café crème\n");
        row("random, empty file", {"--random"}, fixture("empty.txt"), 0, "");
        // Before the first download the collection does not exist yet.
        row("own collection missing: count", {"--count"}, missing, 0, "0\n");
        row("own collection missing: search", {"--search", "x"}, missing, 0, "0 fortunes contain 'x'.\n");
        row("own collection missing: random", {"--random"}, missing, 0, "");
        // A file named on the command line must be there.
        row("named file missing: count", {"--count", "--file", missing}, three, 1, "");
        row("named file missing: random", {"--random", "--file", missing}, three, 1, "");
        row("named file missing: search", {"--search", "x", "--file", missing}, three, 1, "");
        row("a directory is not a fortunes file", {"--count", "--file", QStringLiteral(FIXTURES_DIR)}, three, 1, "");
        row("usage error", {"--count", "--random"}, three, fortune::kUsageExitCode, "");
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
