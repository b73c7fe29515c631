#pragma once

#include "fortunelist.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QRandomGenerator>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <list>
#include <memory>
#include <optional>
#include <vector>

class QTcpSocket;

namespace fortune::site {

// The fortunes a site serves: one or more files, each this program's format
// or the classic "%" one, followed as they change. A file that grows by whole
// records (a collection that downloads keep filling) has only its new part
// read; one that is replaced or rewritten is read again. They are looked at
// before each answer. Files are only ever read.
class ServedFortunes : public QObject {
    Q_OBJECT
public:
    explicit ServedFortunes(bool sequential = false, QObject *parent = nullptr);
    ~ServedFortunes() override;

    // Reads every file. An empty text when they could all be read and hold a
    // fortune between them; otherwise what is wrong, naming the file.
    QString load(const QStringList &paths);

    // Fortunes it serves (with text in them, no NUL), over all files.
    qsizetype count() const { return m_servable; }
    // The fortune to serve next (a random one, or the next in file order),
    // after looking whether a file changed; nothing when no file holds one.
    // The view is valid until the next call.
    std::optional<QByteArrayView> next();
    // Takes in what changed in the files since the last look. One stat per
    // file when nothing did.
    void refresh();

private:
    struct Stamp {
        quint64 device = 0, inode = 0;
        qint64 size = -1; // -1: no file there
        qint64 modified = 0;
        bool operator==(const Stamp &) const = default;
    };
    struct Source {
        QString path;
        std::unique_ptr<FortuneList> list = std::make_unique<FortuneList>();
        qsizetype servable = 0;
        Stamp stamp;
        qint64 resumeAt = -1; // where the last separator line read begins (this program's format in UTF-8)
    };
    static Stamp stampOf(const QString &path);
    QString readWhole(Source &source, const Stamp &stamp);
    bool readGrowth(Source &source, const Stamp &stamp);
    void recount();
    QByteArrayView fortuneAt(qsizetype index) const;

    std::vector<Source> m_sources;
    qsizetype m_records = 0;
    qsizetype m_servable = 0;
    bool m_sequential;
    qsizetype m_next = 0;
    QRandomGenerator m_random;
};

// What the site puts up with from a client.
struct SiteLimits {
    int maxConnections = 512;
    // A request head must be whole this long after the connection opened or
    // the last answer went out; an answer the client does not take must move
    // within it too.
    std::chrono::milliseconds requestTimeout{10'000};
    qsizetype maxHead = 8 * 1024;
    // At the cap, a connection that has waited this long for its request gives
    // its slot to a newcomer; when none has, the newcomer gets 503.
    std::chrono::milliseconds yieldAfter{1'000};
};

// A small web server for the fortune page: GET (or HEAD) /fortune.shtml
// answers with a fortune page, anything else with a short error page. Keeps
// connections alive as the client asks, takes pipelined requests in order, and
// holds up under clients that connect and wait, send half a request, send
// garbage or never read their answers.
class FortuneSite : public QObject {
    Q_OBJECT
public:
    FortuneSite(ServedFortunes &fortunes, SiteLimits limits = {}, QObject *parent = nullptr);
    ~FortuneSite() override;

    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const;
    QString errorString() const;
    int connections() const { return int(m_clients.size()); }

private:
    struct Client;
    class Server;
    using Clients = std::list<Client *>; // least recently active first

    void accept();
    void take(Client *client);
    void serve(Client *client);
    bool answerHead(Client *client, QByteArrayView head);
    void refuse(Client *client, int status, bool detach = false);
    void touch(Client *client);
    void expire();
    void unlist(Client *client);
    void drop(Client *client);
    bool waitsForRequest(const Client *client) const;
    qint64 now() const { return m_clock.elapsed(); }

    ServedFortunes &m_fortunes;
    SiteLimits m_limits;
    std::unique_ptr<Server> m_server;
    Clients m_clients;
    QElapsedTimer m_clock;
    QTimer m_deadline; // the least recently active client's
    QTimer m_resume;   // accepting again after the system ran out of descriptors
};

} // namespace fortune::site
