// Headless measurements of the download loop, one JSON object on stdout:
//
//   download_bench cycles N HOST:PORT COLLECTION   cycles per second against a site
//   download_bench idle SECONDS                     CPU share while a page never comes
//   download_bench stop REPEATS                     stop() to idle, while waiting
#include "downloadloop.h"
#include "fortunesreader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>

using namespace fortune;

namespace {

int die(const char *message)
{
    std::fprintf(stderr, "download_bench: %s\n", message);
    return 2;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A site that takes connections and requests and never answers; it tells when
// a request has come in.
class SilentSite : public QObject {
    Q_OBJECT
public:
    SilentSite()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                    if (socket->readAll().contains("\r\n\r\n"))
                        emit requested();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    quint16 port() const { return m_server.serverPort(); }
signals:
    void requested();

private:
    QTcpServer m_server;
};

int cycles(int wanted, const QString &siteText, const QString &path)
{
    const SiteOption site = parseSiteOption(siteText);
    if (!site.ok())
        return die(qPrintable(site.error));
    QFile::remove(path);
    FortuneList list;
    DownloadLoop loop(list, path);
    loop.setSite(site.site);
    int done = 0;
    QElapsedTimer clock;
    QObject::connect(&loop, &DownloadLoop::cycleCompleted, [&] {
        if (++done == wanted)
            loop.stop();
    });
    QString message;
    QObject::connect(&loop, &DownloadLoop::finished, [&](const QString &m) {
        message = m;
        QCoreApplication::quit();
    });
    clock.start();
    loop.start();
    QCoreApplication::exec();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    if (!message.isEmpty())
        return die(qPrintable(message));
    FortuneList back;
    loadFortunesFile(path, back);
    std::printf("{\"cycles\": %d, \"seconds\": %.6f, \"stored\": %lld, \"in_file\": %lld}\n", done, seconds,
                qlonglong(list.count()), qlonglong(back.count()));
    return 0;
}

int idle(int seconds)
{
    SilentSite site;
    FortuneList list;
    DownloadLoop loop(list, QStringLiteral("/nonexistent/fortunes.txt"));
    loop.setSite(SiteSettings{QStringLiteral("127.0.0.1"), site.port()});
    double cpuBefore = 0;
    QElapsedTimer clock;
    QObject::connect(&site, &SilentSite::requested, [&] {
        cpuBefore = cpuSeconds();
        clock.start();
        QTimer::singleShot(seconds * 1000, [&] {
            const double cpu = cpuSeconds() - cpuBefore;
            const double wall = double(clock.nsecsElapsed()) / 1e9;
            const bool waiting = loop.isRunning() && loop.FetchPending();
            loop.stop();
            std::printf("{\"cpu_seconds\": %.6f, \"wall_seconds\": %.6f, \"still_waiting\": %s}\n", cpu, wall,
                        waiting ? "true" : "false");
            QCoreApplication::quit();
        });
    });
    loop.start();
    return QCoreApplication::exec();
}

int stopLatency(int repeats)
{
    SilentSite site;
    FortuneList list;
    DownloadLoop loop(list, QStringLiteral("/nonexistent/fortunes.txt"));
    loop.setSite(SiteSettings{QStringLiteral("127.0.0.1"), site.port()});
    double worstPage = 0;
    double worstConnect = 0;
    int done = 0;
    bool idleAfterStop = true;
    // stop() while the loop waits for the page, then at once while it connects.
    auto measure = [&](double &worst) {
        QElapsedTimer clock;
        clock.start();
        loop.stop();
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        idleAfterStop = idleAfterStop && !loop.isRunning();
        worst = std::max(worst, ms);
    };
    QObject::connect(&site, &SilentSite::requested, [&] {
        if (!loop.FetchPending())
            return;
        measure(worstPage);
        loop.start();
        measure(worstConnect);
        if (++done == repeats) {
            std::printf("{\"worst_ms_waiting_for_page\": %.6f, \"worst_ms_connecting\": %.6f, \"idle\": %s}\n",
                        worstPage, worstConnect, idleAfterStop ? "true" : "false");
            QCoreApplication::quit();
            return;
        }
        loop.start();
    });
    loop.start();
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == QLatin1String("cycles"))
        return cycles(args[2].toInt(), args[3], args[4]);
    if (args.size() == 3 && args[1] == QLatin1String("idle"))
        return idle(args[2].toInt());
    if (args.size() == 3 && args[1] == QLatin1String("stop"))
        return stopLatency(args[2].toInt());
    return die("usage: download_bench cycles N HOST:PORT COLLECTION | idle SECONDS | stop REPEATS");
}

#include "download_bench.moc"
