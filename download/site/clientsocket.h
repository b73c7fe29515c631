#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <deque>

class QSocketNotifier;

namespace fortune::site {

class ClientSocket;

// The clients' sockets behind one descriptor of the system (epoll), so the
// event loop looks at one descriptor however many clients are connected;
// with a notifier each, it would look at every one of them at every turn,
// and hundreds of idle connections would slow every answer.
class SocketPoller : public QObject {
    Q_OBJECT
public:
    explicit SocketPoller(QObject *parent = nullptr);
    ~SocketPoller() override;
    // Reports the events wanted (EPOLLIN, EPOLLOUT) on fd to socket; none: no more.
    void watch(ClientSocket *socket, int fd, quint32 events, quint32 before);

private:
    void dispatch();

    int m_epoll;
    QSocketNotifier *m_notifier;
};

// One client's TCP connection, on the system's socket rather than a
// QTcpSocket, for three things the site needs and Qt's socket does not give:
// it reads only when asked, so a client that sends faster than it takes its
// answers is held back by TCP itself; it goes on sending after the client
// has ended its own sending (a half-close), where Qt's socket drops what it
// still had to send; and answers wait as shared byte arrays, so one large
// page for many clients is held once.
//
// It never signals from inside a call of its user: a failure found there
// is told from the event loop.
class ClientSocket : public QObject {
    Q_OBJECT
public:
    // Takes over descriptor, a connected TCP socket.
    ClientSocket(qintptr descriptor, SocketPoller &poller, QObject *parent = nullptr);
    ~ClientSocket() override; // closes the socket at once

    enum class Got { Bytes, Nothing, End, Failed };
    // What came, up to max bytes into data (their number in got). End: the
    // client ended its sending; Failed: the connection is broken.
    Got read(char *data, qsizetype max, qsizetype &got);
    // Whether readable() is emitted while bytes wait.
    void setReading(bool on);
    // Queues bytes to send; they go out with flush(), or as the client takes them.
    void send(const QByteArray &bytes);
    // Hands the system what it takes of the queue now.
    void flush();
    // Bytes queued that the system has not taken yet.
    qint64 unsent() const { return m_unsent; }
    // Once what is queued is out, ends the sending side and drops what the
    // client still sends until it closes: closing over bytes not read would
    // reset the connection, and the client could lose its answer.
    void finish();
    // Stops everything; the socket is closed when the object goes.
    void abort();
    // The client's address and port, for the log.
    QString peer() const;

signals:
    void readable();
    // Queued bytes went out.
    void progressed();
    // The connection is over: the client closed it after finish(), or it broke.
    void closed();

private:
    friend class SocketPoller;
    void onEvents(quint32 events);
    void onReadable();
    void onWritable();
    qint64 write();
    void endSending();
    void over();
    void watch();

    int m_fd;
    QPointer<SocketPoller> m_poller;
    quint32 m_watched = 0; // the events the poller reports
    std::deque<QByteArray> m_queue;
    qsizetype m_sentOfFirst = 0; // of m_queue.front()
    qint64 m_unsent = 0;
    bool m_reading = false;
    bool m_finishing = false; // finish() was called
    bool m_draining = false;  // the sending side is ended; what comes is dropped
    bool m_over = false;
};

} // namespace fortune::site
