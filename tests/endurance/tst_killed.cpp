// The program is killed (SIGKILL) again and again while it downloads from
// fortune-site. After every kill the collection must still be a valid fortunes
// file holding only whole records the site served, nothing stored before may be
// gone, and the next start must load it and carry on downloading.
//
// FORTUNE_KILLS sets the number of kills (default below), FORTUNE_KILL_SEED the
// seed of the kill moments.
#include "../testutil.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kDefaultKills = 50;
constexpr int kSiteFortunes = 100000;
const QByteArray kClosing = "\r\n" + fortune::kSeparator.toByteArray() + "\r\n";

// The records of a fortunes file in their stored form (CR LF after every line),
// or an error when the file does not end right after a separator line.
struct Parsed {
    QList<QByteArray> records;
    QString error;
};

Parsed parseRecords(const QByteArray &data)
{
    Parsed parsed;
    if (!data.isEmpty() && !data.endsWith(kClosing)) {
        parsed.error = QStringLiteral("the file does not end with a separator line: ...%1")
                           .arg(QString::fromUtf8(data.right(80).toPercentEncoding(" ")));
        return parsed;
    }
    QByteArray record;
    for (const QByteArray &line : data.split('\n')) {
        if (line.isEmpty())
            continue; // the split after the last line end
        if (!line.endsWith('\r')) {
            parsed.error = QStringLiteral("a line without CR LF: %1").arg(QString::fromUtf8(line.left(80)));
            return parsed;
        }
        const QByteArray text = line.chopped(1);
        if (text == fortune::kSeparator) {
            parsed.records << record;
            record.clear();
        } else {
            record += text + "\r\n";
        }
    }
    return parsed;
}

} // namespace

class TestKilled : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QProcess m_site;
    quint16 m_port = 0;
    QString m_program;
    QHash<QByteArray, int> m_served; // fortune in stored form -> its place on the site

    QString collection() const { return m_dir.filePath(QStringLiteral("bin/fortunes.txt")); }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void killedMidDownload();
};

void TestKilled::initTestCase()
{
    QVERIFY(m_dir.isValid());

    // Distinct fortunes of one to four lines and varied lengths, so records
    // straddle write and page boundaries at different places.
    QRandomGenerator random(1234);
    QByteArray site;
    for (int i = 0; i < kSiteFortunes; ++i) {
        QByteArray stored;
        const int lines = 1 + int(random.bounded(4));
        for (int l = 0; l < lines; ++l) {
            QByteArray line = l == 0 ? "Fortune " + QByteArray::number(i) + ":" : QByteArray("and");
            const int words = int(random.bounded(1, 25));
            for (int w = 0; w < words; ++w)
                line += " word" + QByteArray::number(random.bounded(1000));
            stored += line + "\r\n";
        }
        site += stored + fortune::kSeparator.toByteArray() + "\r\n";
        m_served.insert(stored, i);
    }
    const QString sitePath = m_dir.filePath(QStringLiteral("site.txt"));
    QVERIFY(testutil::writeFile(sitePath, site));

    m_site.setProgram(QStringLiteral(FORTUNE_SITE));
    m_site.setArguments({"--port", "0", "--file", sitePath, "--sequential"});
    m_site.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_site.start();
    QVERIFY(m_site.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(m_site.canReadLine() || m_site.state() != QProcess::Running, 30000);
    const QString banner = QString::fromUtf8(m_site.readLine());
    const QRegularExpressionMatch port = QRegularExpression(QStringLiteral(":(\\d+)/")).match(banner);
    QVERIFY2(port.hasMatch(), qPrintable(banner));
    m_port = quint16(port.captured(1).toUInt());

    // The program keeps its collection beside itself, and finds its own place
    // through the real path: a copy, not a link.
    QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("bin")));
    m_program = m_dir.filePath(QStringLiteral("bin/fortune-collector"));
    QVERIFY(QFile::copy(QStringLiteral(FORTUNE_COLLECTOR), m_program));
}

void TestKilled::cleanupTestCase()
{
    m_site.kill();
    m_site.waitForFinished();
}

void TestKilled::killedMidDownload()
{
    const int kills = qEnvironmentVariableIsSet("FORTUNE_KILLS") ? qEnvironmentVariableIntValue("FORTUNE_KILLS")
                                                                 : kDefaultKills;
    const quint32 seed = qEnvironmentVariableIsSet("FORTUNE_KILL_SEED")
                             ? quint32(qEnvironmentVariableIntValue("FORTUNE_KILL_SEED"))
                             : 20240517u;
    QRandomGenerator random(seed);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    const QString runtime = m_dir.filePath(QStringLiteral("run"));
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    for (const char *proxy : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        env.remove(QString::fromLatin1(proxy));

    QByteArray before;
    int lastServed = -1;
    int killedDuringStart = 0;
    for (int kill = 0; kill < kills; ++kill) {
        QProcess program;
        program.setProcessEnvironment(env);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(m_program, {"--site", QStringLiteral("127.0.0.1:%1").arg(m_port), "--start-download"});
        QVERIFY(program.waitForStarted());

        // Every tenth kill lands during start-up; the others once the file has
        // grown by a random few records' worth of bytes.
        const qint64 grow = kill % 10 == 9 ? 0 : 1 + qint64(random.bounded(4000));
        killedDuringStart += grow == 0;
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(collection()).size() >= before.size() + grow
                                     || program.state() != QProcess::Running,
                                 30000);
        QVERIFY2(program.state() == QProcess::Running, "the program ended by itself");
        program.kill();
        QVERIFY(program.waitForFinished());
        QCOMPARE(program.exitStatus(), QProcess::CrashExit);

        const QByteArray after = testutil::readFile(collection());
        QVERIFY2(after.startsWith(before), qPrintable(QStringLiteral("kill %1: earlier records changed").arg(kill)));
        const Parsed parsed = parseRecords(after);
        QVERIFY2(parsed.error.isEmpty(), qPrintable(QStringLiteral("kill %1: %2").arg(kill).arg(parsed.error)));
        // Every record is one the site served, each once, in the order served.
        int previous = -1;
        for (const QByteArray &record : parsed.records) {
            const int served = m_served.value(record, -1);
            QVERIFY2(served >= 0, qPrintable(QStringLiteral("kill %1: a record the site never served: %2")
                                                 .arg(kill)
                                                 .arg(QString::fromUtf8(record.left(200)))));
            QVERIFY2(served > previous, qPrintable(QStringLiteral("kill %1: record %2 out of order or twice")
                                                       .arg(kill)
                                                       .arg(served)));
            previous = served;
        }
        lastServed = previous;

        // What the next start reads.
        fortune::FortuneList list;
        const fortune::LoadResult loaded = fortune::loadFortunesFile(collection(), list);
        if (!after.isEmpty())
            QCOMPARE(loaded.outcome, fortune::LoadResult::Outcome::Loaded);
        QCOMPARE(list.count(), qsizetype(parsed.records.size()));
        QCOMPARE(qsizetype(after.count(kClosing)), list.count());
        before = after;
    }

    // The program's own count agrees with the file.
    QProcess count;
    count.setProcessEnvironment(env);
    count.start(m_program, {"--count", "--file", collection()});
    QVERIFY(count.waitForFinished());
    QCOMPARE(count.exitCode(), 0);
    const qsizetype records = before.count(kClosing);
    QCOMPARE(count.readAllStandardOutput().trimmed(), QByteArray::number(records));
    QVERIFY(records > 0);
    qInfo("%d kills (%d during start-up), %lld records (%lld bytes) survived, last served fortune %d",
          kills, killedDuringStart, qlonglong(records), qlonglong(before.size()), lastServed);
}

QTEST_GUILESS_MAIN(TestKilled)
#include "tst_killed.moc"
