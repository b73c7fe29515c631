#include "clientsocket.h"

#include <QHostAddress>
#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace fortune::site {

namespace {

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

} // namespace

SocketPoller::SocketPoller(QObject *parent)
    : QObject(parent), m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_notifier(new QSocketNotifier(m_epoll, QSocketNotifier::Read, this))
{
    if (m_epoll < 0)
        qFatal("fortune-site: epoll: %s", qPrintable(qt_error_string(errno)));
    connect(m_notifier, &QSocketNotifier::activated, this, &SocketPoller::dispatch);
}

SocketPoller::~SocketPoller()
{
    delete m_notifier;
    ::close(m_epoll);
}

void SocketPoller::watch(ClientSocket *socket, int fd, quint32 events, quint32 before)
{
    epoll_event event{};
    event.events = events;
    event.data.ptr = socket;
    ::epoll_ctl(m_epoll, events == 0 ? EPOLL_CTL_DEL : before == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event);
}

void SocketPoller::dispatch()
{
    // Sockets dropped on the way are only deleted later, by the event loop.
    std::array<epoll_event, 64> events;
    const int count = ::epoll_wait(m_epoll, events.data(), int(events.size()), 0);
    for (int i = 0; i < count; ++i)
        static_cast<ClientSocket *>(events[size_t(i)].data.ptr)->onEvents(events[size_t(i)].events);
}

ClientSocket::ClientSocket(qintptr descriptor, SocketPoller &poller, QObject *parent)
    : QObject(parent), m_fd(int(descriptor)), m_poller(&poller)
{
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    const int on = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on); // answers go out as they are queued
}

ClientSocket::~ClientSocket()
{
    abort();
    ::close(m_fd);
}

// Tells the poller what this socket waits for now.
void ClientSocket::watch()
{
    quint32 events = 0;
    if (!m_over && (m_reading || m_draining))
        events |= EPOLLIN;
    if (!m_over && m_unsent > 0)
        events |= EPOLLOUT;
    if (events == m_watched || !m_poller)
        return;
    m_poller->watch(this, m_fd, events, m_watched);
    m_watched = events;
}

void ClientSocket::onEvents(quint32 events)
{
    if (!m_over && (events & EPOLLOUT))
        onWritable();
    if (!m_over && (events & EPOLLIN))
        onReadable();
    if (!m_over && (events & (EPOLLERR | EPOLLHUP)) && !(m_watched & EPOLLIN))
        over(); // broken while it waited for nothing
}

ClientSocket::Got ClientSocket::read(char *data, qsizetype max, qsizetype &got)
{
    got = 0;
    if (m_over)
        return Got::Failed;
    ssize_t n;
    do
        n = ::recv(m_fd, data, size_t(max), 0);
    while (n < 0 && errno == EINTR);
    if (n > 0) {
        got = n;
        return Got::Bytes;
    }
    if (n == 0)
        return Got::End;
    return wouldBlock(errno) ? Got::Nothing : Got::Failed;
}

void ClientSocket::setReading(bool on)
{
    m_reading = on;
    watch();
}

void ClientSocket::send(const QByteArray &bytes)
{
    if (m_over || m_finishing || bytes.isEmpty())
        return;
    m_queue.push_back(bytes);
    m_unsent += bytes.size();
}

void ClientSocket::flush()
{
    if (m_over || m_unsent == 0)
        return;
    if (write() < 0) // told from the event loop, not from inside the caller's call
        QMetaObject::invokeMethod(this, &ClientSocket::closed, Qt::QueuedConnection);
    watch();
}

void ClientSocket::finish()
{
    if (m_finishing)
        return;
    flush();
    m_finishing = true;
    m_reading = false;
    if (m_unsent == 0 && !m_over)
        endSending();
    else
        watch();
}

void ClientSocket::abort()
{
    m_over = true;
    watch();
}

QString ClientSocket::peer() const
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QStringLiteral("a client");
    const QHostAddress host(reinterpret_cast<const sockaddr *>(&address));
    const quint16 port = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                                                              : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
    return host.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]:%2").arg(host.toString()).arg(port)
                                                            : QStringLiteral("%1:%2").arg(host.toString()).arg(port);
}

void ClientSocket::onReadable()
{
    if (!m_draining) {
        if (m_reading)
            emit readable();
        return;
    }
    std::array<char, 16 * 1024> sink;
    for (;;) {
        qsizetype got = 0;
        const Got what = read(sink.data(), qsizetype(sink.size()), got);
        if (what == Got::Nothing)
            return;
        if (what != Got::Bytes)
            return over();
    }
}

void ClientSocket::onWritable()
{
    const qint64 sent = write();
    if (sent < 0)
        return emit closed();
    if (m_unsent == 0 && m_finishing)
        endSending();
    else
        watch();
    if (sent > 0)
        emit progressed();
}

// Sends what the system takes of the queue; the bytes sent, -1 once the
// connection is broken.
qint64 ClientSocket::write()
{
    std::array<iovec, 16> pieces; // a few queued arrays in one call
    size_t count = 0;
    for (auto it = m_queue.begin(); it != m_queue.end() && count < pieces.size(); ++it, ++count) {
        const qsizetype skip = count == 0 ? m_sentOfFirst : 0;
        pieces[count] = {const_cast<char *>(it->constData()) + skip, size_t(it->size() - skip)};
    }
    msghdr message{};
    message.msg_iov = pieces.data();
    message.msg_iovlen = count;
    ssize_t sent;
    do
        sent = ::sendmsg(m_fd, &message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        if (wouldBlock(errno))
            return 0;
        abort();
        return -1;
    }
    m_unsent -= sent;
    for (qint64 left = sent; left > 0;) {
        const qsizetype rest = m_queue.front().size() - m_sentOfFirst;
        if (left < rest) {
            m_sentOfFirst += left;
            break;
        }
        left -= rest;
        m_queue.pop_front();
        m_sentOfFirst = 0;
    }
    return sent;
}

void ClientSocket::endSending()
{
    ::shutdown(m_fd, SHUT_WR);
    m_draining = true;
    watch();
}

void ClientSocket::over()
{
    abort();
    emit closed();
}

} // namespace fortune::site
