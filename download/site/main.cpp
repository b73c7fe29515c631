// fortune-site: serves fortune pages from a fortunes file (or a classic
// fortune file, such as Debian's /usr/share/games/fortunes/fortunes) on this
// machine, so that downloads can be tried without any outside server:
//
//   fortune-site --port 8080 --file fortunes.txt [--random | --sequential]
//   fortune-collector --site 127.0.0.1:8080
//
// Every GET /fortune.shtml answers with the next (or a random) fortune's page.
#include "classicfile.h"
#include "sitepage.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>

namespace {

constexpr qsizetype kMaxRequestHead = 64 * 1024;

class FortuneSite : public QObject {
public:
    FortuneSite(fortune::FortuneList &list, bool random) : m_list(list), m_random(random)
    {
        connect(&m_server, &QTcpServer::newConnection, this, &FortuneSite::accept);
    }

    bool listen(const QHostAddress &address, quint16 port) { return m_server.listen(address, port); }
    quint16 port() const { return m_server.serverPort(); }
    QString errorString() const { return m_server.errorString(); }

private:
    void accept()
    {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    }

    QByteArray nextFortune()
    {
        const qsizetype count = m_list.count();
        const qsizetype i = m_random ? qsizetype(QRandomGenerator::global()->bounded(quint64(count))) : m_next++ % count;
        return m_list.rawAt(i).toByteArray();
    }

    void serve(QTcpSocket *socket)
    {
        QByteArray buffer = socket->property("pending").toByteArray() + socket->readAll();
        for (;;) {
            const qsizetype headLength = fortune::site::requestHeadLength(buffer);
            if (headLength < 0)
                break;
            const QByteArray head = buffer.first(headLength);
            buffer.remove(0, headLength);
            const QList<QByteArray> requestLine = head.first(head.indexOf('\n')).trimmed().split(' ');
            const QByteArray lower = head.toLower();
            const bool http11 = requestLine.value(2) == "HTTP/1.1";
            const bool keepAlive = http11 ? !lower.contains("\nconnection: close")
                                          : lower.contains("\nconnection: keep-alive");
            const QByteArray method = requestLine.value(0);
            QByteArray path = requestLine.value(1);
            if (const qsizetype query = path.indexOf('?'); query >= 0)
                path.truncate(query);
            QByteArray response;
            if ((method == "GET" || method == "HEAD") && path == "/fortune.shtml") {
                response = fortune::site::okResponse(fortune::site::fortunePage(nextFortune()), keepAlive);
                if (method == "HEAD")
                    response.truncate(response.indexOf("\r\n\r\n") + 4);
            } else {
                const QByteArray body = "<html><body><h1>404 Not Found</h1></body></html>\n";
                response = "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: "
                           + QByteArray::number(body.size()) + "\r\nConnection: "
                           + (keepAlive ? "keep-alive" : "close") + "\r\n\r\n" + body;
            }
            socket->write(response);
            if (!keepAlive) {
                socket->disconnectFromHost();
                return;
            }
        }
        if (buffer.size() > kMaxRequestHead) {
            socket->abort(); // its disconnected() deletes it
            return;
        }
        socket->setProperty("pending", buffer);
    }

    fortune::FortuneList &m_list;
    bool m_random;
    qsizetype m_next = 0;
    QTcpServer m_server;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fortune-site"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves fortune pages (GET /fortune.shtml) from a fortunes file."));
    parser.addHelpOption();
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("TCP port (0: any free port)."),
                                        QStringLiteral("N"));
    const QCommandLineOption fileOption(QStringLiteral("file"), QStringLiteral("The fortunes file (or classic fortune file) to serve."),
                                        QStringLiteral("PATH"));
    const QCommandLineOption listenOption(QStringLiteral("listen"),
                                          QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                          QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption randomOption(QStringLiteral("random"), QStringLiteral("Serve fortunes in random order."));
    const QCommandLineOption sequentialOption(QStringLiteral("sequential"),
                                              QStringLiteral("Serve fortunes in file order, then again (default)."));
    parser.addOptions({portOption, fileOption, listenOption, randomOption, sequentialOption});
    parser.process(app);

    auto die = [](const QString &message) {
        std::fprintf(stderr, "fortune-site: %s\n", qPrintable(message));
        return 2;
    };
    if (!parser.isSet(portOption) || !parser.isSet(fileOption))
        return die(QStringLiteral("--port and --file are required (see --help)"));
    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port > 65535)
        return die(QStringLiteral("--port %1 is not a port number").arg(parser.value(portOption)));
    if (parser.isSet(randomOption) && parser.isSet(sequentialOption))
        return die(QStringLiteral("--random and --sequential exclude each other"));
    QHostAddress address;
    if (!address.setAddress(parser.value(listenOption)))
        return die(QStringLiteral("--listen %1 is not an IP address").arg(parser.value(listenOption)));

    const QString path = parser.value(fileOption);
    const fortune::AnyFileLoad loaded = fortune::loadAnyFortunesFile(path);
    if (loaded.result.outcome == fortune::LoadResult::Outcome::Missing)
        return die(QStringLiteral("%1 does not exist").arg(path));
    if (loaded.result.outcome == fortune::LoadResult::Outcome::Failed)
        return die(loaded.result.error);
    fortune::FortuneList &list = *loaded.list;
    if (list.count() == 0)
        return die(QStringLiteral("%1 holds no fortunes").arg(path));

    FortuneSite site(list, parser.isSet(randomOption));
    if (!site.listen(address, quint16(port)))
        return die(QStringLiteral("cannot listen on %1:%2: %3").arg(address.toString()).arg(port).arg(site.errorString()));
    std::printf("fortune-site: serving %lld fortunes at http://%s:%u/fortune.shtml\n", qlonglong(list.count()),
                qPrintable(address.toString()), unsigned(site.port()));
    std::fflush(stdout);
    return app.exec();
}
