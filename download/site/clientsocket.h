#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>

#include <deque>

namespace fortune::site {

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
    explicit ClientSocket(qintptr descriptor, QObject *parent = nullptr);
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
    void onReadable();
    void onWritable();
    qint64 write();
    void endSending();
    void over();

    int m_fd;
    QSocketNotifier m_in;
    QSocketNotifier m_out;
    std::deque<QByteArray> m_queue;
    qsizetype m_sentOfFirst = 0; // of m_queue.front()
    qint64 m_unsent = 0;
    bool m_reading = false;
    bool m_finishing = false; // finish() was called
    bool m_draining = false;  // the sending side is ended; what comes is dropped
    bool m_over = false;
};

} // namespace fortune::site
