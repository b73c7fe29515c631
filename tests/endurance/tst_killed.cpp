// The program is killed (SIGKILL) again and again while it downloads from
// fortune-site or imports. After every kill the collection must hold only whole
// records the site served, each once and in order, nothing stored before may be
// gone, and the next start must load it and carry on. A kill can cut a write
// short where a page of the file ends (the system gives up the rest of it): the
// start of the record being written may stay after the last whole one, and is
// cut off by the next store, never taken for a fortune. FORTUNE_KILLS sets the
// number of kills, FORTUNE_KILL_SEED their moments.
#include "../testutil.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace testutil;

namespace {

// What a kill may leave after the last whole record: nothing, or the start of
// the record being written, ending where a page of the file ends.
bool cutShort(const QByteArray &file, const QByteArray &tail, const QByteArray &record)
{
    return tail.isEmpty() || (file.size() % sysconf(_SC_PAGESIZE) == 0 && record.startsWith(tail) && tail != record);
}

} // namespace

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
        QList<QByteArray> written;     // by place: the record as the program writes it
        for (int i = 0; i < 100000; ++i) {
            QByteArray stored = "Fortune " + QByteArray::number(i) + ":";
            for (int w = int(words.bounded(1, 100)); w > 0; --w)
                stored += (words.bounded(8) == 0 ? "\r\nand word" : " word") + QByteArray::number(words.bounded(1000));
            written << stored + "\r\n" + kSep + "\r\n";
            site += written.last();
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
        // through the real path: a copy of the program alone, not a link.
        QVERIFY(QDir(dir.path()).mkdir("bin"));
        const QString program = dir.filePath("bin/fortune-collector"), collection = dir.filePath("bin/fortunes.txt");
        QVERIFY(QFile::copy(FORTUNE_COLLECTOR, program));

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

            const QByteArray file = readFile(collection);
            const QString at = QStringLiteral("kill %1: ").arg(kill);
            QByteArray tail;
            const QList<QByteArray> records = plainRecords(file, &tail);
            const QByteArray after = file.chopped(tail.size()); // the whole records
            QVERIFY2(after.startsWith(before), qPrintable(at + "earlier records changed"));
            QVERIFY2(after.isEmpty() || after.endsWith("\r\n" + kSep + "\r\n"), qPrintable(at + "a record was cut"));
            QVERIFY2(file.count('\n') == file.count("\r\n"), qPrintable(at + "a line without CR LF"));
            int previous = -1;
            for (const QByteArray &record : records) {
                const int place = served.value(record, -1);
                QVERIFY2(place > previous, qPrintable(at + "a record never served, or twice: " + record.left(200)));
                previous = place;
            }
            const auto next = std::find_if(written.cbegin() + previous + 1, written.cend(),
                                           [&](const QByteArray &record) { return record.startsWith(tail.left(20)); });
            QVERIFY2(cutShort(file, tail, next == written.cend() ? QByteArray() : *next),
                     qPrintable(at + "after the last record: " + tail.left(200)));
            QCOMPARE(recordsOf(collection), records); // what the next start reads
            before = after;
        }

        // The program's own count agrees with the file.
        const Ran count = run(program, {"--count", "--file", collection}, env, 60000);
        QCOMPARE(count.code, 0);
        QCOMPARE(count.out.trimmed(), QByteArray::number(plainRecords(before).size()));
        QVERIFY(!before.isEmpty());
        server.kill();
        server.waitForFinished();
    }

    // --import killed now and then: the collection is always the start of
    // what the whole import writes, the classic file's fortunes in order, each
    // once, but for the start of a record cut short where a page ends; and
    // the import that runs to its end writes all of it.
    void killedMidImport()
    {
        QTemporaryDir dir;
        QByteArray classic, whole;
        for (int i = 0; i < 200000; ++i) {
            const QByteArray fortune = "Fortune " + QByteArray::number(i) + ": " + QByteArray(i % 500, 'x');
            classic += fortune + "\n%\n";
            whole += fortune + "\r\n" + kSep + "\r\n";
        }
        QVERIFY(writeFile(dir.filePath("classic"), classic));
        const QString collection = dir.filePath("c.txt");
        const QStringList arguments{"--import", dir.filePath("classic"), "--file", collection};
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
            const QByteArray file = readFile(collection);
            QByteArray tail;
            plainRecords(file, &tail);
            QVERIFY2(whole.startsWith(file), qPrintable(QStringLiteral("kill %1: not what the import writes").arg(kill)));
            const qsizetype records = file.size() - tail.size();
            QVERIFY2(cutShort(file, tail, whole.mid(records, whole.indexOf("\r\n" + kSep + "\r\n", records) + 34 - records)),
                     qPrintable(QStringLiteral("kill %1: after the last record: ").arg(kill) + tail.left(200)));
            if (running.exitStatus() == QProcess::NormalExit) {
                QCOMPARE(running.exitCode(), 0);
                QCOMPARE(file.size(), whole.size());
                break;
            }
            QVERIFY2(kill < 20, "the import never got to its end");
        }
    }
};

QTEST_GUILESS_MAIN(TestKilled)
#include "tst_killed.moc"
