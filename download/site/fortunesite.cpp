#include "fortunesite.h"

#include "classicfile.h"
#include "sitepage.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <cctype>
#include <cstring>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#include <sys/stat.h>
#endif

Q_LOGGING_CATEGORY(lcSite, "fortune.site", QtWarningMsg)

namespace fortune::site {

// ---------------------------------------------------------------- the files

namespace {

// What a page can carry: some text, and no NUL, since a collector refuses a
// page that holds one.
bool servable(QByteArrayView text)
{
    return !isEmptyFortune(text) && !text.contains('\0');
}

} // namespace

ServedFortunes::ServedFortunes(bool sequential, QObject *parent)
    : QObject(parent), m_sequential(sequential), m_random(QRandomGenerator::system()->generate())
{
}

ServedFortunes::~ServedFortunes() = default;

ServedFortunes::Stamp ServedFortunes::stampOf(const QString &path)
{
    Stamp stamp;
#ifdef Q_OS_UNIX
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) == 0) {
        stamp.device = quint64(info.st_dev);
        stamp.inode = quint64(info.st_ino);
        stamp.size = qint64(info.st_size);
        stamp.modified = qint64(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    }
#else
    const QFileInfo info(path);
    if (info.exists()) {
        stamp.size = info.size();
        stamp.modified = info.lastModified().toMSecsSinceEpoch();
        stamp.inode = quint64(info.birthTime().toMSecsSinceEpoch());
    }
#endif
    return stamp;
}

QString ServedFortunes::load(const QStringList &paths)
{
    m_sources.clear();
    for (const QString &path : paths) {
        Source &source = m_sources.emplace_back();
        source.path = path;
        if (QString problem = readWhole(source, stampOf(path)); !problem.isEmpty())
            return problem;
    }
    recount();
    if (m_servable == 0)
        return paths.size() == 1 ? QStringLiteral("%1 holds no fortunes").arg(paths[0])
                                 : QStringLiteral("these files hold no fortunes");
    return {};
}

QString ServedFortunes::readWhole(Source &source, const Stamp &stamp)
{
    auto list = std::make_unique<FortuneList>();
    qint64 resumeAt = -1;
    {
        // A file of this program's own format is read here, to learn where its
        // last record ends: growth is then read from there on.
        OpenFile file;
        if (!file.open(source.path, OpenFile::Mode::Read))
            return file.message(FileAccess::Read);
        if (encodingOf(file).kind == TextEncoding::Kind::Utf8) {
            const RecordScan scan = scanRecords(file, 0, file.size(), 0, *list);
            if (scan.result.outcome == LoadResult::Outcome::Failed)
                return scan.result.error;
            if (scan.result.outcome == LoadResult::Outcome::Full)
                qCWarning(lcSite).noquote() << scan.result.error;
            resumeAt = scan.lastSeparatorAt;
        }
    }
    if (resumeAt < 0) { // no separator line: a classic file (or UTF-16)
        AnyFileLoad any = loadAnyFortunesFile(source.path);
        if (any.result.outcome == LoadResult::Outcome::Missing || any.result.outcome == LoadResult::Outcome::Failed)
            return any.result.error;
        list = std::move(any.list);
    }
    source.list = std::move(list);
    source.resumeAt = resumeAt;
    source.stamp = stamp;
    source.servable = 0;
    for (qsizetype i = 0; i < source.list->count(); ++i)
        source.servable += servable(source.list->rawAt(i));
    return {};
}

bool ServedFortunes::readGrowth(Source &source, const Stamp &stamp)
{
    OpenFile file;
    if (!file.open(source.path, OpenFile::Mode::Read))
        return false;
    // From the last separator line read before: a file that still has it
    // there has only grown; the record it closes is an empty one.
    FortuneList grown;
    const RecordScan scan = scanRecords(file, source.resumeAt, stamp.size, 0, grown);
    if (scan.result.outcome == LoadResult::Outcome::Failed || scan.firstSeparatorAt != source.resumeAt)
        return false;
    for (qsizetype i = 1; i < grown.count(); ++i) {
        const QByteArrayView text = grown.rawAt(i);
        if (!source.list->store(text).ok())
            break; // full: what fits is served
        source.servable += servable(text);
    }
    source.resumeAt = scan.lastSeparatorAt;
    source.stamp = stamp;
    qCInfo(lcSite) << source.path << "grew by" << grown.count() - 1 << "fortunes";
    return true;
}

void ServedFortunes::refresh()
{
    bool changed = false;
    for (Source &source : m_sources) {
        const Stamp stamp = stampOf(source.path);
        if (stamp == source.stamp)
            continue;
        changed = true;
        const Stamp before = std::exchange(source.stamp, stamp);
        if (stamp.size < 0) {
            // Perhaps on its way to being replaced: what it held is served meanwhile.
            qCWarning(lcSite).noquote() << source.path << "is gone; its fortunes are served until it is back";
            continue;
        }
        const bool grew = source.resumeAt >= 0 && before.size >= 0 && stamp.device == before.device
                          && stamp.inode == before.inode && stamp.size > before.size;
        if (grew && readGrowth(source, stamp))
            continue;
        // Replaced or rewritten. When it cannot be read, what it held is served
        // until it changes again.
        if (const QString problem = readWhole(source, stamp); !problem.isEmpty())
            qCWarning(lcSite).noquote() << problem;
        else
            qCInfo(lcSite) << "read" << source.path << "again:" << source.list->count() << "fortunes";
    }
    if (changed)
        recount();
}

void ServedFortunes::recount()
{
    m_records = m_servable = 0;
    for (const Source &source : m_sources) {
        m_records += source.list->count();
        m_servable += source.servable;
    }
}

QByteArrayView ServedFortunes::fortuneAt(qsizetype index) const
{
    for (const Source &source : m_sources) {
        if (index < source.list->count())
            return source.list->rawAt(index);
        index -= source.list->count();
    }
    return {};
}

std::optional<QByteArrayView> ServedFortunes::next()
{
    refresh();
    if (m_servable == 0)
        return std::nullopt;
    // Records it does not serve are passed over: every fortune served is as likely.
    for (;;) {
        const qsizetype index = m_sequential ? m_next++ % m_records : qsizetype(m_random.bounded(quint64(m_records)));
        const QByteArrayView text = fortuneAt(index);
        if (servable(text))
            return text;
    }
}

// ---------------------------------------------------------------- the server

namespace {

// Answers queued for a client that does not read them: past this, its
// further requests wait.
constexpr qint64 kMaxQueued = 64 * 1024;

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

bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
           || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool isToken(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) { return c != 0 && isTokenChar(c); });
}

// Bytes no request head holds: control characters but tab, CR and LF.
bool hasControlCharacters(QByteArrayView text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = uchar(c);
        return (u < 0x20 && u != '\t' && u != '\r' && u != '\n') || u == 0x7f;
    });
}

QByteArrayView withoutCr(QByteArrayView line)
{
    return line.endsWith('\r') ? line.chopped(1) : line;
}

struct RequestLine {
    int status = 200; // 400 or 505 when it cannot be served
    QByteArrayView method, target;
    bool http11 = false;
};

RequestLine parseRequestLine(QByteArrayView line)
{
    RequestLine request;
    const qsizetype first = line.indexOf(' ');
    const qsizetype second = first < 0 ? -1 : line.indexOf(' ', first + 1);
    if (second < 0 || line.indexOf(' ', second + 1) >= 0) {
        request.status = 400;
        return request;
    }
    request.method = line.first(first);
    request.target = line.sliced(first + 1, second - first - 1);
    const QByteArrayView version = line.sliced(second + 1);
    request.http11 = version == "HTTP/1.1";
    if (!isToken(request.method) || request.target.isEmpty())
        request.status = 400;
    else if (!request.http11 && version != "HTTP/1.0")
        request.status = version.size() == 8 && version.startsWith("HTTP/") && version[6] == '.'
                                 && std::isdigit(uchar(version[5])) && std::isdigit(uchar(version[7]))
                             ? 505
                             : 400;
    return request;
}

struct Request {
    int status = 200;
    bool headOnly = false;
    bool keepAlive = false;
};

bool hasToken(QByteArrayView list, QByteArrayView token)
{
    for (QByteArrayView item : QByteArray(list.toByteArray()).split(','))
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// A whole request head, its empty line included.
Request parseHead(QByteArrayView head)
{
    Request request;
    qsizetype lineEnd = head.indexOf('\n');
    const RequestLine line = parseRequestLine(withoutCr(head.first(lineEnd)));
    request.status = line.status;
    if (request.status != 200)
        return request;
    int hosts = 0;
    bool close = false, keepAlive = false, body = false;
    for (qsizetype at = lineEnd + 1; at < head.size(); at = lineEnd + 1) {
        lineEnd = head.indexOf('\n', at);
        const QByteArrayView field = withoutCr(head.sliced(at, lineEnd - at));
        if (field.isEmpty())
            break;
        const qsizetype colon = field.indexOf(':');
        if (colon < 0 || !isToken(field.first(colon))) { // a folded line, a blank before the colon
            request.status = 400;
            return request;
        }
        const QByteArrayView name = field.first(colon);
        const QByteArrayView value = field.sliced(colon + 1).trimmed();
        if (name.compare("host", Qt::CaseInsensitive) == 0) {
            ++hosts;
        } else if (name.compare("connection", Qt::CaseInsensitive) == 0) {
            close = close || hasToken(value, "close");
            keepAlive = keepAlive || hasToken(value, "keep-alive");
        } else if (name.compare("transfer-encoding", Qt::CaseInsensitive) == 0) {
            body = true;
        } else if (name.compare("content-length", Qt::CaseInsensitive) == 0) {
            bool number = false;
            const qlonglong length = value.toLongLong(&number);
            if (!number || length < 0) {
                request.status = 400;
                return request;
            }
            body = body || length > 0;
        }
    }
    if (line.http11 && hosts != 1) {
        request.status = 400;
        return request;
    }
    // A body is never read: the connection ends after the answer instead.
    request.keepAlive = !body && (line.http11 ? !close : keepAlive);
    request.headOnly = line.method == "HEAD";
    if (line.method != "GET" && !request.headOnly) {
        request.status = 405;
        return request;
    }
    QByteArrayView path = line.target;
    if (path.startsWith("http://") || path.startsWith("https://")) { // the absolute form
        const qsizetype slash = path.indexOf('/', path.indexOf("//") + 2);
        path = slash < 0 ? QByteArrayView("/") : path.sliced(slash);
    }
    if (const qsizetype query = path.indexOf('?'); query >= 0)
        path.truncate(query);
    if (path != "/fortune.shtml")
        request.status = 404;
    return request;
}

} // namespace

struct FortuneSite::Client : QTcpSocket {
    using QTcpSocket::QTcpSocket;
    QByteArray pending;       // received, not yet answered
    qint64 lastActive = 0;    // when it connected, or an answer last moved
    Clients::iterator at;     // its place in m_clients, when listed
    bool listed = false;
    bool closing = false;     // its last answer is on the way; what else comes is dropped
    bool expired = false;     // had its time once
    qsizetype checked = 0;    // bytes of the pending head looked at: no end, nothing that is not text
    bool lineChecked = false; // its request line is whole and was looked at
};

// Makes the site's own socket class for each connection.
class FortuneSite::Server : public QTcpServer {
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *client = new Client;
        if (client->setSocketDescriptor(descriptor))
            addPendingConnection(client);
        else
            delete client;
    }
};

namespace {

// How long a refused client that is not counted any more may take to read
// its answer and go.
constexpr int kLingerMs = 1000;

// Ends the sending side once the answer is out, and reads on until the client
// closes: closing with its request still unread would reset the connection,
// and the client could lose the answer.
void endSending(QTcpSocket *socket)
{
#ifdef Q_OS_UNIX
    ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
#else
    socket->disconnectFromHost();
#endif
}

} // namespace

FortuneSite::FortuneSite(ServedFortunes &fortunes, SiteLimits limits, QObject *parent)
    : QObject(parent), m_fortunes(fortunes), m_limits(limits), m_server(std::make_unique<Server>())
{
    m_clock.start();
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &FortuneSite::expire);
    connect(m_server.get(), &QTcpServer::newConnection, this, &FortuneSite::accept);
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

FortuneSite::~FortuneSite()
{
    while (!m_clients.empty())
        drop(m_clients.front());
}

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

void FortuneSite::accept()
{
    while (auto *client = static_cast<Client *>(m_server->nextPendingConnection())) {
        client->setParent(this);
        if (int(m_clients.size()) >= m_limits.maxConnections) {
            // The slot of one that has kept it long without asking anything
            // goes to the newcomer; otherwise the newcomer is told to come back.
            Client *oldest = m_clients.front();
            if (waitsForRequest(oldest) && now() - oldest->lastActive >= m_limits.yieldAfter.count()) {
                refuse(oldest, 408, true);
            } else {
                refuse(client, 503, true);
                continue;
            }
        }
        take(client);
    }
}

void FortuneSite::take(Client *client)
{
    client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Qt stops reading from the system once this much waits: a client that
    // sends faster than its answers are taken is held back by TCP itself.
    client->setReadBufferSize(2 * m_limits.maxHead);
    client->at = m_clients.insert(m_clients.end(), client);
    client->listed = true;
    connect(client, &QTcpSocket::readyRead, this, [this, client] { serve(client); });
    connect(client, &QTcpSocket::bytesWritten, this, [this, client] {
        touch(client);
        if (client->bytesToWrite() > 0)
            return;
        if (client->closing)
            endSending(client);
        else
            serve(client); // requests held back while answers piled up
    });
    connect(client, &QTcpSocket::disconnected, this, [this, client] { drop(client); });
    touch(client);
}

bool FortuneSite::waitsForRequest(const Client *client) const
{
    return !client->closing && client->bytesToWrite() == 0;
}

void FortuneSite::serve(Client *client)
{
    if (client->closing) {
        client->readAll();
        return;
    }
    QByteArray &pending = client->pending;
    while (!client->closing && client->bytesToWrite() <= kMaxQueued) {
        if (client->bytesAvailable() > 0)
            pending += client->readAll();
        // Empty lines before a request are passed over.
        qsizetype start = 0;
        while (start < pending.size() && (pending[start] == '\r' || pending[start] == '\n'))
            ++start;
        pending.remove(0, start);
        if (pending.isEmpty())
            return;
        // A head that comes in small pieces is looked at once, not again
        // with every piece.
        const qsizetype from = std::max<qsizetype>(0, client->checked - 3);
        const qsizetype found = requestHeadLength(QByteArrayView(pending).sliced(from));
        const qsizetype length = found < 0 ? -1 : from + found;
        const QByteArrayView head = QByteArrayView(pending).first(length < 0 ? pending.size() : length);
        // Garbage is refused as soon as it is seen, rather than when its
        // time is up or its size too large.
        const QByteArrayView fresh = head.first(std::min(head.size(), m_limits.maxHead + 1)).sliced(client->checked);
        if (hasControlCharacters(fresh)) {
            refuse(client, 400);
            return;
        }
        if (const qsizetype lf = fresh.indexOf('\n'); lf >= 0 && !client->lineChecked) {
            client->lineChecked = true;
            const qsizetype lineEnd = client->checked + lf;
            if (const int status = parseRequestLine(withoutCr(head.first(lineEnd))).status; status != 200) {
                refuse(client, status);
                return;
            }
        }
        client->checked += fresh.size();
        if (head.size() > m_limits.maxHead) {
            refuse(client, 431);
            return;
        }
        if (length < 0)
            return;
        client->checked = 0;
        client->lineChecked = false;
        const bool more = answerHead(client, head);
        pending.remove(0, length);
        if (!more)
            return;
    }
}

// Answers one request; false when the connection ends with it.
bool FortuneSite::answerHead(Client *client, QByteArrayView head)
{
    Request request = parseHead(head);
    std::optional<QByteArrayView> fortune;
    if (request.status == 200 && !(fortune = m_fortunes.next()))
        request.status = 503; // every file lost its fortunes
    if (request.status != 200 && request.status != 404 && request.status != 405) {
        refuse(client, request.status);
        return false;
    }
    QByteArray response;
    if (request.status == 200) {
        response = okResponse(fortunePage(*fortune), request.keepAlive);
        if (request.headOnly)
            response.truncate(response.indexOf("\r\n\r\n") + 4);
    } else {
        response = errorResponse(request.status, request.keepAlive, request.headOnly);
    }
    client->write(response);
    touch(client);
    if (request.keepAlive)
        return true;
    client->closing = true; // the sending side ends once the answer is out
    return false;
}

// Answers with status (nothing when 0) and ends the connection. A detached
// client no longer counts against the cap: it has a moment to take its answer.
void FortuneSite::refuse(Client *client, int status, bool detach)
{
    client->closing = true;
    if (status != 0)
        client->write(errorResponse(status, false));
    if (detach) {
        unlist(client);
        connect(client, &QTcpSocket::readyRead, client, [client] { client->readAll(); });
        connect(client, &QTcpSocket::bytesWritten, client, [client] {
            if (client->bytesToWrite() == 0)
                endSending(client);
        });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        QTimer::singleShot(kLingerMs, client, [client] { client->abort(); });
    } else {
        touch(client);
    }
    if (status == 0)
        client->disconnectFromHost();
}

void FortuneSite::touch(Client *client)
{
    if (!client->listed)
        return;
    client->lastActive = now();
    m_clients.splice(m_clients.end(), m_clients, client->at);
    if (!m_deadline.isActive())
        m_deadline.start(std::max<qint64>(0, m_clients.front()->lastActive + m_limits.requestTimeout.count() - now()));
}

void FortuneSite::expire()
{
    const qint64 at = now();
    while (!m_clients.empty() && m_clients.front()->lastActive + m_limits.requestTimeout.count() <= at) {
        Client *client = m_clients.front();
        if (client->expired || !waitsForRequest(client)) {
            drop(client); // an answer it does not take, or its second time up
            client->abort();
        } else {
            // Half a request gets 408; one that said nothing is just closed.
            client->expired = true;
            refuse(client, client->pending.isEmpty() ? 0 : 408);
        }
    }
    if (!m_clients.empty())
        m_deadline.start(std::max<qint64>(0, m_clients.front()->lastActive + m_limits.requestTimeout.count() - at));
}

void FortuneSite::unlist(Client *client)
{
    if (!client->listed)
        return;
    client->listed = false;
    m_clients.erase(client->at);
    client->disconnect(this);
}

void FortuneSite::drop(Client *client)
{
    if (!client->listed)
        return;
    unlist(client);
    client->deleteLater();
}

} // namespace fortune::site
