// Downloads from a real web server: nginx on 127.0.0.1, started here with its
// own configuration, serving the fortune page through server-side includes
// (chunked, a new fortune each time) and as a plain file (Content-Length);
// and the packaged recipe, nginx in front of two fortune-site processes, as
// the clients of the world meet it.
#include "fakesite.h"
#include "sitepage.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

using namespace fortune;

namespace {

// A client from an address of its own on loopback: sends its request (once
// connected) and keeps what comes back until the server closes.
struct Client {
    QTcpSocket socket;
    QByteArray got;
    Client(const char *from, quint16 port, const QByteArray &request)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { got += socket.readAll(); });
        socket.bind(QHostAddress(QLatin1String(from)));
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.write(request);
    }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
};
using Clients = std::vector<std::unique_ptr<Client>>;

bool allClosed(const Clients &clients)
{
    return std::all_of(clients.begin(), clients.end(), [](auto &c) { return c->closed(); });
}

const QByteArray kGet = "GET /fortune.shtml HTTP/1.1\r\nHost: www.fortunes.example.org\r\n";

// Replaces each match of pattern, which must come `times` times, with the next of `with`.
bool substitute(QString &text, const char *pattern, const QStringList &with)
{
    QList<QRegularExpressionMatch> found;
    for (auto it = QRegularExpression(QLatin1String(pattern)).globalMatch(text); it.hasNext();)
        found.prepend(it.next());
    for (qsizetype i = 0; i < found.size() && found.size() == with.size(); ++i)
        text.replace(found[i].capturedStart(), found[i].capturedLength(), with[with.size() - 1 - i]);
    return found.size() == with.size();
}

} // namespace

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
        // The recipe as shipped, on loopback ports, in front of two fortune-sites
        // that serve "Fortune 1", "Fortune 2"... in turn, so their next fortune
        // tells how many they served. Its client timeouts are cut to 3 s (a test
        // slowed by a busy machine must still send its requests within them).
        QByteArray numbered;
        for (int i = 1; i <= 10000; ++i)
            numbered += "Fortune " + QByteArray::number(i) + "\n%\n";
        QVERIFY(testutil::writeFile(root + QStringLiteral("/numbered"), numbered));
        QStringList upstreams;
        for (QProcess &site : m_sites) {
            site.start(QStringLiteral(FORTUNE_SITE), {"--port", "0", "--sequential", "--file", root + "/numbered"});
            QVERIFY2(site.waitForReadyRead(10000), site.readAllStandardError().constData());
            const QString banner = QString::fromUtf8(site.readLine());
            m_sitePorts << QRegularExpression(":(\\d+)/").match(banner).captured(1).toUShort();
            upstreams << QStringLiteral("server 127.0.0.1:%1;").arg(m_sitePorts.last());
        }
        QString recipe = QString::fromUtf8(testutil::readFile(QStringLiteral(NGINX_RECIPE)));
        QVERIFY(substitute(recipe, "listen 80;", {QStringLiteral("listen 127.0.0.1:%1;").arg(m_ports[2])}));
        QVERIFY(substitute(recipe, "listen \\[::\\]:80;", {QString()}));
        QVERIFY(substitute(recipe, "server 127\\.0\\.0\\.1:\\d+;", upstreams));
        QVERIFY(substitute(recipe, "client_(header|body)_timeout 10s;",
                           {"client_header_timeout 3s;", "client_body_timeout 3s;"}));
        QVERIFY(testutil::writeFile(root + QStringLiteral("/fortune-site.conf"), recipe.toUtf8()));
        const QString config = QStringLiteral(R"(%1daemon off; master_process off; pid %2/nginx.pid;
error_log %2/error.log warn;
events { worker_connections 256; }
http { access_log off; types { text/html shtml; } client_body_temp_path %2/body; proxy_temp_path %2/proxy;
    fastcgi_temp_path %2/fastcgi; uwsgi_temp_path %2/uwsgi; scgi_temp_path %2/scgi;
    server { listen 127.0.0.1:%3; root %2; ssi on; } server { listen 127.0.0.1:%4; root %2; }
    include %2/fortune-site.conf; }
)").arg(geteuid() == 0 ? QStringLiteral("user root;\n") : QString(), root).arg(m_ports[0]).arg(m_ports[1]);
        QVERIFY(testutil::writeFile(root + QStringLiteral("/nginx.conf"), config.toUtf8()));
        m_nginx.setProcessChannelMode(QProcess::MergedChannels);
        m_nginx.start(nginx, {QStringLiteral("-p"), root + u'/', QStringLiteral("-e"), root + QStringLiteral("/error.log"),
                              QStringLiteral("-c"), root + QStringLiteral("/nginx.conf")});
        QVERIFY2(m_nginx.waitForStarted(5000), qPrintable(m_nginx.errorString()));
        // The pid file comes once all servers listen.
        QVERIFY(QTest::qWaitFor(
            [&] { return QFile::exists(root + QStringLiteral("/nginx.pid"))
                          || m_nginx.state() != QProcess::Running; },
            10000));
        QVERIFY2(m_nginx.state() == QProcess::Running, qPrintable(m_nginx.readAll() + log()));
    }

    void cleanupTestCase()
    {
        for (QProcess *process : {&m_nginx, &m_sites[0], &m_sites[1]}) {
            process->kill();
            process->waitForFinished(5000);
        }
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

    // Downloaders fetching one page at a time, the collector and a quicker
    // one, are slowed to the rate, never refused, for more pages than the
    // burst the recipe allows.
    void recipeOneAtATime()
    {
        LoopRun run(m_ports[2]);
        QSignalSpy done(&run.loop, &DownloadLoop::cycleCompleted);
        QSignalSpy finished(&run.loop, &DownloadLoop::finished);
        QSignalSpy busy(&run.loop, &DownloadLoop::siteBusy);
        std::unique_ptr<Client> quick;
        QByteArrayList answers;
        run.loop.start();
        QVERIFY(QTest::qWaitFor([&] {
            if (quick && quick->closed()) {
                answers << quick->got.left(12);
                quick.reset();
            }
            if (!quick && answers.size() < 30)
                quick = std::make_unique<Client>("127.0.0.2", m_ports[2], kGet + "Connection: close\r\n\r\n");
            return (done.count() >= 10 && answers.size() == 30) || !finished.isEmpty();
        }, 20000));
        run.loop.stop();
        QVERIFY2(finished.at(0).at(0).toString().isEmpty(), qPrintable(finished.at(0).at(0).toString() + log()));
        QVERIFY2(busy.isEmpty(), qPrintable(busy.value(0).value(0).toString()));
        QCOMPARE(answers, QByteArrayList(30, "HTTP/1.1 200"));
        const QString first = QString::fromUtf8(testutil::recordsOf(run.path).value(0));
        QVERIFY2(QRegularExpression("^Fortune \\d+\r\n$").match(first).hasMatch(), qPrintable(first));
    }

    // Many requests at once from one address: nginx answers the excess 503,
    // come back in a second, and fortune-site serves only the others. Clients
    // that never finish their request head, or its body, are ended by nginx;
    // fortune-site answers none of them.
    void recipeAbuse()
    {
        const int before = served();
        Clients flood, slow;
        for (int i = 0; i < 40; ++i)
            flood.push_back(std::make_unique<Client>("127.0.0.3", m_ports[2], kGet + "Connection: close\r\n\r\n"));
        for (int i = 0; i < 10; ++i) {
            slow.push_back(std::make_unique<Client>("127.0.0.4", m_ports[2], kGet));
            slow.push_back(std::make_unique<Client>("127.0.0.5", m_ports[2], kGet + "Content-Length: 100\r\n\r\nabc"));
        }
        QVERIFY(QTest::qWaitFor([&] { return allClosed(flood) && allClosed(slow); }, 20000));
        int ok = 0, busy = 0;
        for (const auto &client : flood) {
            ok += client->got.startsWith("HTTP/1.1 200 ");
            busy += client->got.startsWith("HTTP/1.1 503 ") && client->got.contains("\r\nRetry-After: 1\r\n");
        }
        QCOMPARE(ok + busy, 40);
        QVERIFY2(busy >= 15, qPrintable(QString::number(busy)));
        QCOMPARE(served() - before, ok + 2);
    }

    // Clients that half-close after their request, each alone from its
    // address, still get their page. The sites are held still until nginx has
    // passed their requests on, and has seen the half-closes: it has passed
    // on a later request by then.
    void recipeHalfClose()
    {
        const auto passedOn = [&] { // requests the held sites have not read
            int requests = 0;
            for (const QByteArray &line : testutil::readFile(QStringLiteral("/proc/net/tcp")).split('\n')) {
                const auto port = [](quint16 p) { return ':' + QByteArray::number(p, 16).toUpper().rightJustified(4, '0'); };
                if (!line.contains(port(m_sitePorts[0])) && !line.contains(port(m_sitePorts[1])))
                    continue; // thousands of lines on a busy machine
                const QList<QByteArray> f = line.simplified().split(' '); // sl local remote st tx:rx
                requests += f.size() > 4 && m_sitePorts.contains(f[1].split(':').value(1).toUShort(nullptr, 16))
                            && f[3] != "0A" && f[4].split(':').value(1).toUInt(nullptr, 16) > 0; // 0A: listening
            }
            return requests;
        };
        for (QProcess &site : m_sites)
            ::kill(pid_t(site.processId()), SIGSTOP);
        Clients clients;
        for (const char *from : {"127.0.0.10", "127.0.0.11", "127.0.0.12"})
            clients.push_back(std::make_unique<Client>(from, m_ports[2], kGet + "\r\n"));
        const int before = passedOn();
        const bool held = QTest::qWaitFor([&] { return passedOn() >= before + 3; }, 10000);
        for (const auto &client : clients)
            ::shutdown(int(client->socket.socketDescriptor()), SHUT_WR);
        clients.push_back(std::make_unique<Client>("127.0.0.13", m_ports[2], kGet + "Connection: close\r\n\r\n"));
        const bool seen = held && QTest::qWaitFor([&] { return passedOn() >= before + 4; }, 10000);
        for (QProcess &site : m_sites)
            ::kill(pid_t(site.processId()), SIGCONT);
        QVERIFY2(held && seen, qPrintable(QStringLiteral("%1 then %2").arg(before).arg(passedOn())));
        QVERIFY(QTest::qWaitFor([&] { return allClosed(clients); }, 10000));
        for (const auto &client : clients)
            QVERIFY2(client->got.startsWith("HTTP/1.1 200 "), client->got.constData());
    }

private:
    // Pages both fortune-sites served so far (these two requests included).
    int served()
    {
        int pages = 0;
        for (quint16 port : m_sitePorts) {
            Client probe("127.0.0.1", port, kGet + "Connection: close\r\n\r\n");
            if (!QTest::qWaitFor([&] { return probe.closed(); }, 10000))
                return -1;
            pages += QRegularExpression("Fortune (\\d+)").match(QString::fromLatin1(probe.got)).captured(1).toInt();
        }
        return pages;
    }

    QString log() const { return QString::fromUtf8(testutil::readFile(m_dir.filePath(QStringLiteral("error.log")))); }

    QTemporaryDir m_dir;
    QProcess m_nginx;
    quint16 m_ports[3] = {}; // server-side includes, the plain file, the recipe
    QProcess m_sites[2];
    QList<quint16> m_sitePorts;
};

QTEST_GUILESS_MAIN(TestNginx)
#include "tst_nginx.moc"
