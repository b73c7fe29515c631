#include "fortunesite.h"

#include "clientsocket.h"
#include "httprequest.h"
#include "sitelog.h"
#include "sitepage.h"

#include <QTcpServer>

namespace fortune::site {

namespace {

// Answers queued for a client that does not read them: past this, its
// further requests wait, and so does reading them.
constexpr qint64 kMaxQueued = 64 * 1024;
// What one read of a client's bytes takes at the most. A client's bytes are
// read ahead of its requests while less than a head's worth waits.
constexpr qsizetype kReadPiece = 16 * 1024;
// How long a client that counts no more (its last answer is out, or it was
// refused) has to close after its answer.
constexpr qint64 kLingerMs = 1000;

const char *reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    }
    return "Error";
}

QByteArray errorResponse(int status, bool keepAlive, bool headOnly = false)
{
    const QByteArray line = QByteArray::number(status) + ' ' + reasonPhrase(status);
    const QByteArray body = "<html><body><h1>" + line + "</h1></body></html>\n";
    QByteArray response = "HTTP/1.1 " + line + "\r\nContent-Type: text/html\r\nContent-Length: "
                          + QByteArray::number(body.size()) + "\r\nConnection: " + (keepAlive ? "keep-alive" : "close")
                          + "\r\n";
    if (status == 405)
        response += "Allow: GET, HEAD\r\n";
    if (status == 503)
        response += "Retry-After: 1\r\n";
    response += "\r\n";
    if (!headOnly)
        response += body;
    return response;
}

} // namespace

struct FortuneSite::Client : ClientSocket {
    Client(qintptr descriptor, SocketPoller &poller, qsizetype maxHead, QObject *parent)
        : ClientSocket(descriptor, poller, parent), requests(maxHead)
    {
    }
    RequestReader requests;
    Clients *list = nullptr; // the one it is in; none once dropped
    Clients::iterator at;
    qint64 since = 0;        // when it went into its list
    bool lastAnswer = false; // the connection ends once what is queued is out
    bool ended = false;      // the client ended its sending
};

// Hands each connection to the site as it comes.
class FortuneSite::Server : public QTcpServer {
public:
    explicit Server(FortuneSite &site) : m_site(site) {}

protected:
    void incomingConnection(qintptr descriptor) override { m_site.admit(descriptor); }

private:
    FortuneSite &m_site;
};

FortuneSite::FortuneSite(ServedFortunes &fortunes, SiteLimits limits, QObject *parent)
    : QObject(parent), m_fortunes(fortunes), m_limits(limits), m_server(std::make_unique<Server>(*this)),
      m_poller(new SocketPoller(this))
{
    m_clock.start();
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &FortuneSite::expire);
    // Out of file descriptors, the server stops accepting; it tries again a
    // moment later, when answered clients have made room.
    m_resume.setSingleShot(true);
    m_resume.setInterval(100);
    connect(&m_resume, &QTimer::timeout, m_server.get(), &QTcpServer::resumeAccepting);
    connect(m_server.get(), &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError error) {
        qCInfo(lcSite) << "accept failed:" << error;
        m_resume.start();
    });
}

FortuneSite::~FortuneSite() = default; // the poller and the clients are children

quint16 FortuneSite::port() const
{
    return m_server->serverPort();
}

QString FortuneSite::errorString() const
{
    return m_server->errorString();
}

bool FortuneSite::listen(const QHostAddress &address, quint16 port)
{
    m_server->setListenBacklogSize(1024);
    return m_server->listen(address, port);
}

qint64 FortuneSite::bytesHeld() const
{
    qint64 held = 0;
    for (const Clients *list : {&m_waiting, &m_answering}) {
        for (const Client *client : *list)
            held += client->requests.buffered() + client->unsent();
    }
    return held;
}

void FortuneSite::admit(qintptr descriptor)
{
    auto *client = new Client(descriptor, *m_poller, m_limits.maxHead, this);
    connect(client, &ClientSocket::readable, this, [this, client] { pump(client); });
    connect(client, &ClientSocket::progressed, this, [this, client] { progressed(client); });
    connect(client, &ClientSocket::closed, this, [this, client] { drop(client); });
    if (connections() >= m_limits.maxConnections) {
        // The place of the one that has waited longest for its request goes
        // to the newcomer; otherwise the newcomer is told to come back.
        Client *longest = m_waiting.empty() ? nullptr : m_waiting.front();
        if (!longest || now() - longest->since < m_limits.yieldAfter.count())
            return refuse(client, 503, "refused, all places taken");
        letGo(longest, "made room for a newcomer");
    }
    moveTo(client, m_waiting);
    pump(client); // its request is often there with it
}

// Answers what the client asked, reading on while its answers go out.
void FortuneSite::pump(Client *client)
{
    bool answered = false;
    while (!client->lastAnswer) {
        if (client->unsent() > kMaxQueued) {
            client->flush();
            if (client->unsent() > kMaxQueued)
                break; // held back until its answers move
        }
        if (const std::optional<Request> request = client->requests.next()) {
            answer(client, request->status, request->headOnly, request->keepAlive);
            answered = true;
            continue;
        }
        if (client->ended || client->requests.buffered() > m_limits.maxHead || !readSome(client))
            break;
    }
    if (client->list != &m_waiting && client->list != &m_answering)
        return; // refused or gone
    client->flush();
    if (answered)
        placeAfterAnswer(client);
    if (client->list == &m_waiting && client->ended) { // nothing more to answer
        client->finish();
        moveTo(client, m_finishing);
        return;
    }
    client->setReading(!client->ended && !client->lastAnswer && client->unsent() <= kMaxQueued);
}

// False when nothing more can be read now.
bool FortuneSite::readSome(Client *client)
{
    char piece[kReadPiece];
    qsizetype got = 0;
    switch (client->read(piece, kReadPiece, got)) {
    case ClientSocket::Got::Bytes:
        client->requests.feed(QByteArrayView(piece, got));
        return true;
    case ClientSocket::Got::Nothing:
        return false;
    case ClientSocket::Got::End: // its requests so far are still answered
        client->ended = true;
        return true;
    case ClientSocket::Got::Failed:
        drop(client);
        return false;
    }
    return false;
}

void FortuneSite::answer(Client *client, int status, bool headOnly, bool keepAlive)
{
    std::optional<QByteArray> page;
    if (status == 200 && !(page = m_fortunes.nextPage()))
        status = 503; // every file lost its fortunes
    if (status != 200 && status != 404 && status != 405)
        return refuse(client, status, "refused");
    if (status == 200) {
        client->send(okHead(page->size(), keepAlive));
        if (!headOnly)
            client->send(*page);
    } else {
        client->send(errorResponse(status, keepAlive, headOnly));
    }
    client->lastAnswer = !keepAlive;
}

// Where a client goes once its answers moved: on answering while some are
// unsent, away once its last one is out, otherwise waiting for its next
// request. Its time runs from now.
void FortuneSite::placeAfterAnswer(Client *client)
{
    if (client->unsent() > 0) {
        moveTo(client, m_answering);
    } else if (client->lastAnswer) {
        client->finish();
        moveTo(client, m_finishing);
    } else {
        moveTo(client, m_waiting);
    }
}

void FortuneSite::progressed(Client *client)
{
    if (client->list != &m_answering)
        return; // one that counts no more goes at its own time
    placeAfterAnswer(client);
    if (client->list == &m_waiting)
        pump(client); // requests held back while answers piled up
}

// Answers with status (nothing when 0) and lets the client go: it counts no
// more, and has a moment to take its answer and close.
void FortuneSite::refuse(Client *client, int status, const char *why)
{
    qCInfo(lcClients).noquote().nospace() << client->peer() << ": " << why
                                          << (status != 0 ? QStringLiteral(", answered %1").arg(status) : QString());
    if (status != 0)
        client->send(errorResponse(status, false));
    client->lastAnswer = true;
    client->finish();
    moveTo(client, m_finishing);
}

// Lets a client go that waited for its request: half a request gets 408;
// one that said nothing is just closed.
void FortuneSite::letGo(Client *client, const char *why)
{
    // What it sent that was not read yet counts too.
    while (!client->ended && client->requests.buffered() <= m_limits.maxHead && readSome(client)) {
    }
    if (client->list)
        refuse(client, client->requests.buffered() > 0 ? 408 : 0, why);
}

void FortuneSite::moveTo(Client *client, Clients &list)
{
    if (client->list)
        list.splice(list.end(), *client->list, client->at);
    else
        client->at = list.insert(list.end(), client);
    client->list = &list;
    client->since = now();
    if (&list == &m_finishing && int(m_finishing.size()) > m_limits.maxConnections)
        dropOneFinished();
    schedule();
}

// Whatever floods the site with clients that never close, those that count
// no more hold about as many descriptors as those that count: the one that
// has had its answer longest goes.
void FortuneSite::dropOneFinished()
{
    for (Client *client : m_finishing) {
        if (client->unsent() == 0) {
            qCInfo(lcClients).noquote() << client->peer() << "closed: too many clients finishing";
            return drop(client);
        }
    }
}

void FortuneSite::schedule()
{
    qint64 due = -1;
    const auto earliest = [&](const Clients &list, qint64 period) {
        if (!list.empty() && (due < 0 || list.front()->since + period < due))
            due = list.front()->since + period;
    };
    earliest(m_waiting, m_limits.requestTimeout.count());
    earliest(m_answering, m_limits.requestTimeout.count());
    earliest(m_finishing, kLingerMs);
    if (due < 0)
        m_deadline.stop();
    else if (!m_deadline.isActive() || due < now() + m_deadline.remainingTime())
        m_deadline.start(std::max<qint64>(0, due - now()));
}

void FortuneSite::expire()
{
    const qint64 at = now();
    const qint64 timeout = m_limits.requestTimeout.count();
    while (!m_finishing.empty() && m_finishing.front()->since + kLingerMs <= at)
        drop(m_finishing.front());
    while (!m_answering.empty() && m_answering.front()->since + timeout <= at) {
        qCInfo(lcClients).noquote() << m_answering.front()->peer() << "closed: it did not take its answer in time";
        drop(m_answering.front());
    }
    while (!m_waiting.empty() && m_waiting.front()->since + timeout <= at)
        letGo(m_waiting.front(), "no request in time");
    schedule();
}

void FortuneSite::drop(Client *client)
{
    if (!client->list)
        return;
    client->list->erase(client->at);
    client->list = nullptr;
    client->abort();
    client->disconnect(this);
    client->deleteLater();
    checkStopped();
}

void FortuneSite::stop(std::chrono::milliseconds grace)
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_server->close();
    m_resume.stop();
    while (!m_waiting.empty()) // no answer under way
        drop(m_waiting.front());
    for (Client *client : m_answering) {
        client->lastAnswer = true;
        client->setReading(false);
    }
    QTimer::singleShot(grace, this, [this] {
        for (Clients *list : {&m_answering, &m_finishing}) {
            while (!list->empty())
                drop(list->front());
        }
    });
    checkStopped();
}

void FortuneSite::checkStopped()
{
    if (m_stopping && !m_stoppedTold && connections() == 0 && m_finishing.empty()) {
        m_stoppedTold = true;
        QMetaObject::invokeMethod(this, &FortuneSite::stopped, Qt::QueuedConnection);
    }
}

} // namespace fortune::site
