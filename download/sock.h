#pragma once

#include "sitesettings.h"

#include <QByteArray>
#include <QObject>

class QTcpSocket;

namespace fortune {

// The download's TCP socket, with the operations and states the download code
// was written against: Connect, State (7 = connected), SendData, GetData, Close
// and DataArrival. Each connection gets a QTcpSocket of its own, made when it
// starts; nothing exists before the first Connect. Nothing here ever blocks:
// the outcome of each step comes as a signal.
class Sock : public QObject {
    Q_OBJECT
public:
    // What State() reports, with the numbers the download code was written
    // against.
    enum class StateValue : int {
        Closed = 0,
        ResolvingHost = 4,
        Connecting = 6,
        Connected = 7,
        Error = 9,
    };

    explicit Sock(QObject *parent = nullptr);
    ~Sock() override;

    // Where Connect goes: the site's bare domain and its port.
    const QString &RemoteHost() const { return m_remoteHost; }
    quint16 RemotePort() const { return m_remotePort; }
    void setSite(const SiteSettings &site);

    // Starts a fresh connection to RemoteHost on RemotePort; the outcome comes
    // as connected() or failed(), perhaps before this returns. Refused (false)
    // unless the socket is closed.
    bool Connect();
    StateValue State() const;
    // Queues text for sending; texts go out in call order with nothing between
    // them. False when the socket is not connected.
    bool SendData(QByteArrayView text);
    // Hands what SendData queued to the system now rather than on the next
    // pass of the event loop.
    void flush();
    // All bytes received and not yet taken.
    QByteArray GetData();
    // Drops the connection at once and returns to the closed state; nothing it
    // would still have said reaches the signals below. Nothing on a closed socket.
    void Close();

    // The system's words for the last failure.
    QString errorString() const;

signals:
    void DataArrival(qint64 bytesTotal);
    void connected();
    // Connecting failed, or the connection broke; remoteClosed is true when the
    // peer simply closed it (the end of a close-delimited page).
    void failed(const QString &reason, bool remoteClosed);

private:
    QString m_remoteHost;
    quint16 m_remotePort = 80;
    QTcpSocket *m_socket = nullptr; // the connection under way or last made
    bool m_error = false;
};

} // namespace fortune
