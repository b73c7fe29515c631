#pragma once

#include "servedfortunes.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <list>
#include <memory>

namespace fortune::site {

class SocketPoller;

// What the site puts up with from a client.
struct SiteLimits {
    // Clients waiting for their request or being answered; one that has its
    // last answer, or was refused, counts no more.
    int maxConnections = 1024;
    // A request head must be whole this long after the connection opened or
    // the last answer went out; an answer the client does not take must move
    // within it too.
    std::chrono::milliseconds requestTimeout{10'000};
    qsizetype maxHead = 8 * 1024;
    // At the cap, the client that has waited longest for its request gives
    // its place to a newcomer once it has waited this long; when none has,
    // the newcomer gets 503. Short: a client that means to ask sends its
    // request at once, and those that hold places without asking hold none
    // for long.
    std::chrono::milliseconds yieldAfter{100};
};

// A small web server for the fortune page: GET (or HEAD) /fortune.shtml
// answers with a fortune page, anything else with a short error page. Keeps
// connections alive as the client asks, takes pipelined requests in order
// (reading ahead only so far while answers wait), answers what came before a
// client ended its sending, and holds up under clients that connect and
// wait, send half a request or garbage, never read their answers or never
// close.
class FortuneSite : public QObject {
    Q_OBJECT
public:
    FortuneSite(ServedFortunes &fortunes, SiteLimits limits = {}, QObject *parent = nullptr);
    ~FortuneSite() override;

    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const;
    QString errorString() const;
    // Clients that count against the cap.
    int connections() const { return int(m_waiting.size() + m_answering.size()); }
    // Bytes held for the clients that count: read and not yet answered, and
    // answers not yet sent.
    qint64 bytesHeld() const;
    // Takes no more connections or requests; the answers under way go out,
    // for grace at the most. stopped() then.
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(1));

signals:
    void stopped();

private:
    struct Client;
    class Server;
    using Clients = std::list<Client *>; // longest waiting (or least recently moved) first

    void admit(qintptr descriptor);
    void pump(Client *client);
    bool readSome(Client *client);
    void answer(Client *client, int status, bool headOnly, bool keepAlive);
    void placeAfterAnswer(Client *client);
    void progressed(Client *client);
    void refuse(Client *client, int status, const char *why);
    void letGo(Client *client, const char *why);
    void moveTo(Client *client, Clients &list);
    void dropOneFinished();
    void expire();
    void schedule();
    void drop(Client *client);
    void checkStopped();
    qint64 now() const { return m_clock.elapsed(); }

    ServedFortunes &m_fortunes;
    SiteLimits m_limits;
    std::unique_ptr<Server> m_server;
    SocketPoller *m_poller;
    Clients m_waiting;   // for a request, counted; since they began waiting
    Clients m_answering; // answers unsent, counted; since their answer last moved
    Clients m_finishing; // their last answer out or refused, not counted; since then
    QElapsedTimer m_clock;
    QTimer m_deadline; // the earliest of the three lists' fronts
    QTimer m_resume;   // accepting again after the system ran out of descriptors
    bool m_stopping = false;
    bool m_stoppedTold = false;
};

} // namespace fortune::site
