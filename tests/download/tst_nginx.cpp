// Downloads from a real web server: nginx on 127.0.0.1, started here with its
// own configuration, serving the fortune page through server-side includes
// (chunked, a new fortune each time) and as a plain file (Content-Length).
#include "../testutil.h"
#include "downloadloop.h"
#include "sitepage.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace fortune;
using namespace std::chrono_literals;
using testutil::writeFile;

namespace {

const QString kNginx = QStringLiteral("/usr/sbin/nginx");

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

// One raw GET, the way the download sends it, to see which framing the server chose.
QByteArray rawHead(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write("GET /fortune.shtml HTTP/1.1\r\nHost: www.127.0.0.1\r\n\r\n");
    QByteArray answer;
    while (!answer.contains("\r\n\r\n") && socket.waitForReadyRead(5000))
        answer += socket.readAll();
    return answer.left(answer.indexOf("\r\n\r\n"));
}

} // namespace

class TestNginx : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (!QFile::exists(kNginx)) {
            if (qEnvironmentVariableIsSet("CI"))
                QFAIL("nginx is not installed (Debian package nginx-light); CI needs it");
            QSKIP("nginx is not installed (Debian package nginx-light)");
        }
        QVERIFY(m_dir.isValid());
        const QString root = m_dir.path();
        QVERIFY(QDir(root).mkpath(QStringLiteral("ssi")) && QDir(root).mkpath(QStringLiteral("static")));
        QVERIFY(writeFile(root + QStringLiteral("/ssi/fortune.shtml"),
                          site::pageWithHtml(R"(Fortune number <!--# echo var="request_id" --><BR>from SSI)")));
        QVERIFY(writeFile(root + QStringLiteral("/static/fortune.shtml"), site::fortunePage("Static\r\nfortune\r\n")));
        m_ssiPort = freePort();
        m_staticPort = freePort();
        QVERIFY(m_ssiPort && m_staticPort && m_ssiPort != m_staticPort);

        const QString config = QStringLiteral(R"(%1daemon off;
master_process off;
error_log %2/error.log warn;
pid %2/nginx.pid;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path %2/body;
    proxy_temp_path %2/proxy;
    fastcgi_temp_path %2/fastcgi;
    uwsgi_temp_path %2/uwsgi;
    scgi_temp_path %2/scgi;
    types { text/html html shtml; }
    default_type text/html;
    server {
        listen 127.0.0.1:%3;
        root %2/ssi;
        ssi on;
    }
    server {
        listen 127.0.0.1:%4;
        root %2/static;
    }
}
)")
                                   .arg(geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), root)
                                   .arg(m_ssiPort)
                                   .arg(m_staticPort);
        QVERIFY(writeFile(root + QStringLiteral("/nginx.conf"), config.toUtf8()));

        m_nginx.setProcessChannelMode(QProcess::MergedChannels);
        m_nginx.start(kNginx, {QStringLiteral("-p"), root + u'/', QStringLiteral("-e"), root + QStringLiteral("/error.log"),
                               QStringLiteral("-c"), root + QStringLiteral("/nginx.conf")});
        QVERIFY2(m_nginx.waitForStarted(5000), qPrintable(m_nginx.errorString()));
        for (const quint16 port : {m_ssiPort, m_staticPort}) {
            QTRY_VERIFY2_WITH_TIMEOUT(m_nginx.state() != QProcess::Running || !rawHead(port).isEmpty(),
                                      "nginx does not answer", 10000);
            QVERIFY2(m_nginx.state() == QProcess::Running, qPrintable(m_nginx.readAll() + log()));
        }
    }

    void cleanupTestCase()
    {
        if (m_nginx.state() == QProcess::NotRunning)
            return;
        m_nginx.terminate();
        if (!m_nginx.waitForFinished(5000))
            m_nginx.kill();
        m_nginx.waitForFinished(5000);
    }

    // Server-side includes: chunked, and a fresh fortune on every request.
    void serverSideIncludes()
    {
        QVERIFY2(rawHead(m_ssiPort).contains("Transfer-Encoding: chunked"), qPrintable(rawHead(m_ssiPort)));
        QStringList stored;
        download(m_ssiPort, 3, stored);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(stored.size() >= 3);
        const QRegularExpression shape(QStringLiteral("^Fortune number [0-9a-f]{32}\r\nfrom SSI\r\n$"));
        for (const QString &text : stored)
            QVERIFY2(shape.match(text).hasMatch(), qPrintable(text));
        QCOMPARE(QSet<QString>(stored.begin(), stored.end()).size(), stored.size());
    }

    // A plain file: Content-Length and keep-alive; the same fortune is stored once.
    void staticFile()
    {
        const QByteArray head = rawHead(m_staticPort);
        QVERIFY2(head.contains("Content-Length:") && !head.contains("chunked"), head.constData());
        QStringList stored;
        download(m_staticPort, 3, stored);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(stored, QStringList{QStringLiteral("Static\r\nfortune\r\n")});
    }

private:
    // Runs the loop for at least `cycles` cycles and returns what the file holds.
    void download(quint16 port, int cycles, QStringList &texts)
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("fortunes.txt"));
        FortuneList list;
        DownloadLoop loop(list, path);
        loop.setSite(SiteSettings{QStringLiteral("127.0.0.1"), port});
        loop.setTimeouts(DownloadTimeouts{5000ms, 5000ms, 10000ms});
        QSignalSpy done(&loop, &DownloadLoop::cycleCompleted);
        QSignalSpy finished(&loop, &DownloadLoop::finished);
        loop.start();
        QTRY_VERIFY_WITH_TIMEOUT(done.count() >= cycles || !finished.isEmpty(), 30000);
        loop.stop();
        QCOMPARE(finished.count(), 1);
        QVERIFY2(finished.at(0).at(0).toString().isEmpty(),
                 qPrintable(finished.at(0).at(0).toString() + QString::fromUtf8(log())));
        const QList<QByteArray> back = testutil::recordsOf(path);
        QCOMPARE(back.size(), list.count());
        for (const QByteArray &record : back)
            texts << QString::fromUtf8(record);
    }

    QByteArray log() const { return testutil::readFile(m_dir.filePath(QStringLiteral("error.log"))); }

    QTemporaryDir m_dir;
    QProcess m_nginx;
    quint16 m_ssiPort = 0;
    quint16 m_staticPort = 0;
};

QTEST_GUILESS_MAIN(TestNginx)
#include "tst_nginx.moc"
