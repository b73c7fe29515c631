// Downloads from a real web server: nginx on 127.0.0.1, started here with its
// own configuration, serving the fortune page through server-side includes
// (chunked, a new fortune each time) and as a plain file (Content-Length).
#include "fakesite.h"
#include "sitepage.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

using namespace fortune;

class TestNginx : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        const QString nginx = QStringLiteral("/usr/sbin/nginx");
        if (!QFile::exists(nginx)) {
            if (qEnvironmentVariableIsSet("CI"))
                QFAIL("nginx is not installed (Debian package nginx-light); CI needs it");
            QSKIP("nginx is not installed (Debian package nginx-light)");
        }
        // One page for both servers: the plain one sends the include as it stands.
        const QString root = m_dir.path();
        QVERIFY(testutil::writeFile(root + QStringLiteral("/fortune.shtml"),
                                    site::pageWithHtml(R"(Fortune <!--# echo var="request_id" --><BR>from SSI)")));
        for (quint16 &port : m_ports) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            port = probe.serverPort();
        }
        const QString config = QStringLiteral(R"(%1daemon off; master_process off; pid %2/nginx.pid;
error_log %2/error.log warn;
events { worker_connections 64; }
http { access_log off; types { text/html shtml; } client_body_temp_path %2/body; proxy_temp_path %2/proxy;
    fastcgi_temp_path %2/fastcgi; uwsgi_temp_path %2/uwsgi; scgi_temp_path %2/scgi;
    server { listen 127.0.0.1:%3; root %2; ssi on; } server { listen 127.0.0.1:%4; root %2; } }
)").arg(geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), root).arg(m_ports[0]).arg(m_ports[1]);
        QVERIFY(testutil::writeFile(root + QStringLiteral("/nginx.conf"), config.toUtf8()));
        m_nginx.setProcessChannelMode(QProcess::MergedChannels);
        m_nginx.start(nginx, {QStringLiteral("-p"), root + u'/', QStringLiteral("-e"), root + QStringLiteral("/error.log"),
                              QStringLiteral("-c"), root + QStringLiteral("/nginx.conf")});
        QVERIFY2(m_nginx.waitForStarted(5000), qPrintable(m_nginx.errorString()));
        // The pid file comes once both servers listen.
        QVERIFY(QTest::qWaitFor(
            [&] { return QFile::exists(root + QStringLiteral("/nginx.pid"))
                          || m_nginx.state() != QProcess::Running; },
            10000));
        QVERIFY2(m_nginx.state() == QProcess::Running, qPrintable(m_nginx.readAll() + log()));
    }

    void cleanupTestCase()
    {
        m_nginx.kill();
        m_nginx.waitForFinished(5000);
    }

    // Server-side includes come chunked, with a fresh fortune on every request;
    // the plain file comes with Content-Length, the same fortune stored once.
    void download_data()
    {
        QTest::addColumn<int>("server");
        QTest::addColumn<QString>("pattern");
        QTest::newRow("server-side includes") << 0 << QStringLiteral("^Fortune [0-9a-f]{32}\r\nfrom SSI\r\n$");
        QTest::newRow("plain file") << 1 << QStringLiteral("^Fortune <!--# echo var=\"request_id\" -->\r\nfrom SSI\r\n$");
    }
    void download()
    {
        QFETCH(int, server);
        QFETCH(QString, pattern);
        LoopRun run(m_ports[server]);
        QSignalSpy done(&run.loop, &DownloadLoop::cycleCompleted);
        QSignalSpy finished(&run.loop, &DownloadLoop::finished);
        run.loop.start();
        QVERIFY(QTest::qWaitFor([&] { return done.count() >= 3 || !finished.isEmpty(); }, 15000));
        run.loop.stop();
        QCOMPARE(finished.count(), 1);
        QVERIFY2(finished.at(0).at(0).toString().isEmpty(), qPrintable(finished.at(0).at(0).toString() + log()));
        const QList<QByteArray> stored = testutil::recordsOf(run.path);
        QCOMPARE(stored.size(), run.list.count());
        QCOMPARE(stored.size(), server == 0 ? done.count() : 1);
        for (const QByteArray &text : stored)
            QVERIFY2(QRegularExpression(pattern).match(QString::fromUtf8(text)).hasMatch(), text.constData());
    }

private:
    QString log() const { return QString::fromUtf8(testutil::readFile(m_dir.filePath(QStringLiteral("error.log")))); }

    QTemporaryDir m_dir;
    QProcess m_nginx;
    quint16 m_ports[2] = {};
};

QTEST_GUILESS_MAIN(TestNginx)
#include "tst_nginx.moc"
