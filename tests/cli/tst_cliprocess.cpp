// The installed program as a script sees it: no window, no display needed,
// stdout for answers, one line on stderr and exit status 1 for a bad file.
#include "../testutil.h"

#include <QProcess>
#include <QTest>

using testutil::fixture;

class TestCliProcess : public QObject {
    Q_OBJECT

private slots:
    void console_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("out");

        QTest::newRow("count") << QStringList{"--count", "--file", fixture("three.txt")} << 0
                               << QByteArray("3\n");
        QTest::newRow("search") << QStringList{"--file", fixture("three.txt"), "--search", "CAT"} << 0
                                << QByteArray("2 fortunes contain 'CAT'.\n");
        QTest::newRow("random") << QStringList{"--random", "--file", fixture("one.txt")} << 0
                                << QByteArray("Where there is a will,\nthere is a <b>way</b>.\n");
        QTest::newRow("missing file") << QStringList{"--count", "--file", fixture("none.txt")} << 1
                                      << QByteArray();
        QTest::newRow("usage error") << QStringList{"--random", "--count"} << 2 << QByteArray();
    }

    // Run with no display and no Qt platform: a window would fail to start.
    void console()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QByteArray, out);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        const testutil::Ran ran = testutil::run(QStringLiteral(FORTUNE_EXE), args, env, 60'000);
        QCOMPARE(ran.out, out);
        QCOMPARE(ran.code, code);
        QCOMPARE(ran.err.count('\n'), code == 0 ? 0 : 1);
    }

    void helpAndVersion()
    {
        for (auto [option, says] : {std::pair{"--help", "fortunes.txt"}, std::pair{"--version", "fortune-collector "}}) {
            const testutil::Ran ran = testutil::run(QStringLiteral(FORTUNE_EXE), {QLatin1String(option)});
            QCOMPARE(ran.code, 0);
            QVERIFY2(ran.out.contains(says), option);
        }
    }
};

QTEST_GUILESS_MAIN(TestCliProcess)
#include "tst_cliprocess.moc"
