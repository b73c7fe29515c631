#pragma once

#include "sitesettings.h"

#include <QByteArray>
#include <QObject>
#include <QTcpSocket>

namespace fortune {

// The download's TCP socket, with the operations and states the download code
// was written against: Connect, State (7 = connected), SendData, GetData, Close
// and DataArrival. All of it is asynchronous; nothing here ever blocks.
class Sock : public QObject {
    Q_OBJECT
public:
    // The values State() reports.
    enum StateValue : int {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8,
        Error = 9,
    };

    explicit Sock(QObject *parent = nullptr);

    QString RemoteHost;
    quint16 RemotePort = 80;
    void setSite(const SiteSettings &site);

    // Starts connecting to RemoteHost on RemotePort; the outcome comes as
    // connected() or failed(). Refused (false) unless the socket is closed.
    bool Connect();
    int State() const;
    // Queues text for sending; texts go out in call order with nothing between
    // them. False when the socket is not connected.
    bool SendData(QByteArrayView text);
    // Hands what SendData queued to the system now rather than on the next
    // pass of the event loop.
    void flush() { current().flush(); }
    // All bytes received and not yet taken.
    QByteArray GetData();
    // Drops the connection at once and returns to the closed state. Nothing on a
    // closed socket.
    void Close();

    // The system's words for the last failure.
    QString errorString() const { return m_sockets[m_current].errorString(); }

signals:
    void DataArrival(qint64 bytesTotal);
    void connected();
    // Connecting failed, or the connection broke; remoteClosed is true when the
    // peer simply closed it (the end of a close-delimited page).
    void failed(const QString &reason, bool remoteClosed);

private:
    QTcpSocket &current() { return m_sockets[m_current]; }
    const QTcpSocket &current() const { return m_sockets[m_current]; }
    void attach(QTcpSocket *socket);

    // Connections alternate between two sockets, so that a new connection can
    // be started from within the signal of the one just closed without reusing
    // the object that is still emitting it.
    QTcpSocket m_sockets[2];
    int m_current = 0;
    bool m_error = false;
    bool m_closing = false;
};

} // namespace fortune
