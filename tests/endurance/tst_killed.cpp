// The program is killed (SIGKILL) again and again while it downloads from
// fortune-site. After every kill the collection must still be a valid fortunes
// file holding only whole records the site served, each once and in order,
// nothing stored before may be gone, and the next start must load it and carry
// on. FORTUNE_KILLS sets the number of kills, FORTUNE_KILL_SEED their moments.
#include "../testutil.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using namespace testutil;

class TestKilled : public QObject {
    Q_OBJECT

private slots:
    void killedMidDownload()
    {
        // Distinct fortunes of one to four lines and varied lengths, so records
        // straddle write and page boundaries at different places.
        QTemporaryDir dir;
        QRandomGenerator words(1234);
        QByteArray site;
        QHash<QByteArray, int> served; // fortune in stored form -> its place on the site
        for (int i = 0; i < 100000; ++i) {
            QByteArray stored = "Fortune " + QByteArray::number(i) + ":";
            for (int w = int(words.bounded(1, 100)); w > 0; --w)
                stored += (words.bounded(8) == 0 ? "\r\nand word" : " word") + QByteArray::number(words.bounded(1000));
            site += stored + "\r\n" + kSep + "\r\n";
            served.insert(stored + "\r\n", i);
        }
        QVERIFY(writeFile(dir.filePath("site.txt"), site));
        QProcess server; // killed when it goes out of scope
        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server.start(FORTUNE_SITE, {"--port", "0", "--file", dir.filePath("site.txt"), "--sequential"});
        QVERIFY(QTest::qWaitFor(
            [&] { return server.canReadLine() || server.state() == QProcess::NotRunning; }, 30000));
        const QString banner = QString::fromUtf8(server.readLine());
        const QRegularExpressionMatch port = QRegularExpression(":(\\d+)/").match(banner);
        QVERIFY2(port.hasMatch(), qPrintable(banner));
        const QStringList arguments{"--site", "127.0.0.1:" + port.captured(1), "--start-download"};
        // The program keeps its collection beside itself, and finds its own place
        // through the real path: a copy, not a link, with its network module.
        QVERIFY(QDir(dir.path()).mkdir("bin"));
        const QString program = dir.filePath("bin/fortune-collector"), collection = dir.filePath("bin/fortunes.txt");
        QVERIFY(QFile::copy(FORTUNE_COLLECTOR, program));
        QVERIFY(QFile::copy(FORTUNE_NETWORK_MODULE, dir.filePath("bin/" + QFileInfo(FORTUNE_NETWORK_MODULE).fileName())));

        const int kills = qEnvironmentVariableIsSet("FORTUNE_KILLS") ? qEnvironmentVariableIntValue("FORTUNE_KILLS") : 50;
        QRandomGenerator random(qEnvironmentVariableIsSet("FORTUNE_KILL_SEED")
                                    ? quint32(qEnvironmentVariableIntValue("FORTUNE_KILL_SEED")) : 20240517u);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        for (const char *proxy : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
            env.remove(QString::fromLatin1(proxy));

        QByteArray before;
        for (int kill = 0; kill < kills; ++kill) {
            QProcess running;
            running.setProcessEnvironment(env);
            running.setProcessChannelMode(QProcess::ForwardedChannels);
            running.start(program, arguments);
            QVERIFY(running.waitForStarted());
            // Every tenth kill lands during start-up; the others once the file has
            // grown by a random few records' worth of bytes.
            const qint64 grow = kill % 10 == 9 ? 0 : 1 + qint64(random.bounded(4000));
            QVERIFY(QTest::qWaitFor(
                [&] { return QFileInfo(collection).size() >= before.size() + grow
                              || running.state() != QProcess::Running; },
                30000));
            QVERIFY2(running.state() == QProcess::Running, "the program ended by itself");
            running.kill();
            QVERIFY(running.waitForFinished(30000));

            const QByteArray after = readFile(collection);
            const QString at = QStringLiteral("kill %1: ").arg(kill);
            QVERIFY2(after.startsWith(before), qPrintable(at + "earlier records changed"));
            QVERIFY2(after.isEmpty() || after.endsWith("\r\n" + kSep + "\r\n"), qPrintable(at + "a record was cut"));
            QVERIFY2(after.count('\n') == after.count("\r\n"), qPrintable(at + "a line without CR LF"));
            int previous = -1;
            const QList<QByteArray> records = plainRecords(after);
            for (const QByteArray &record : records) {
                const int place = served.value(record, -1);
                QVERIFY2(place > previous, qPrintable(at + "a record never served, or twice: " + record.left(200)));
                previous = place;
            }
            QCOMPARE(recordsOf(collection), records); // what the next start reads
            before = after;
        }

        // The program's own count agrees with the file.
        const Ran count = run(program, {"--count", "--file", collection}, env, 60000);
        QCOMPARE(count.code, 0);
        QCOMPARE(count.out.trimmed(), QByteArray::number(before.count("\r\n" + kSep + "\r\n")));
        QVERIFY(!before.isEmpty());
        server.kill();
        server.waitForFinished();
    }

    // --import killed now and then: the collection holds the classic file's
    // fortunes in order, whole, but for at most one cut record at its end
    // (which the next import closes as a record of its own), and the import
    // that runs to its end leaves none of them out.
    void killedMidImport()
    {
        QTemporaryDir dir;
        QByteArray classic;
        QList<QByteArray> fortunes;
        for (int i = 0; i < 200000; ++i) {
            fortunes << "Fortune " + QByteArray::number(i) + ": " + QByteArray(i % 500, 'x') + "\r\n";
            classic += fortunes.last().chopped(2) + "\n%\n";
        }
        QVERIFY(writeFile(dir.filePath("classic"), classic));
        const QString collection = dir.filePath("c.txt");
        const QStringList arguments{"--import", dir.filePath("classic"), "--file", collection};
        const QSet<QByteArray> known(fortunes.cbegin(), fortunes.cend());
        QRandomGenerator random(20240518u);
        for (int kill = 0;; ++kill) {
            QProcess running;
            running.start(FORTUNE_COLLECTOR, arguments);
            QVERIFY(running.waitForStarted());
            const qint64 grow = QFileInfo(collection).size() + qint64(random.bounded(30 << 20));
            QVERIFY(QTest::qWaitFor(
                [&] { return QFileInfo(collection).size() >= grow || running.state() != QProcess::Running; }, 30000));
            if (running.state() != QProcess::NotRunning) {
                running.kill();
                QVERIFY(running.waitForFinished(30000));
            }
            QList<QByteArray> records = plainRecords(readFile(collection));
            const qsizetype cut = records.removeIf([&](const QByteArray &r) { return !known.contains(r); });
            QVERIFY2(cut <= kill, "more cut records than kills");
            QCOMPARE(records, fortunes.first(records.size()));
            if (running.exitStatus() == QProcess::NormalExit) {
                QCOMPARE(running.exitCode(), 0);
                QCOMPARE(records.size(), fortunes.size());
                break;
            }
            QVERIFY2(kill < 20, "the import never got to its end");
        }
    }
};

QTEST_GUILESS_MAIN(TestKilled)
#include "tst_killed.moc"
