#include "connection.h"

#include <QTcpSocket>

namespace fortune {

namespace {

class TcpConnection final : public QObject, public Connection {
public:
    TcpConnection(QObject *parent, Events events)
        : QObject(parent), m_events(std::move(events)), m_socket(new QTcpSocket(this))
    {
        // No TCP_NODELAY: the page request leaves in one write on a fresh
        // connection, which Nagle's algorithm never holds back.
        connect(m_socket, &QTcpSocket::connected, this, [this] { m_events.connected(); });
        connect(m_socket, &QTcpSocket::readyRead, this, [this] { m_events.readyRead(); });
        connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            m_events.failed(m_socket->errorString(), error == QAbstractSocket::RemoteHostClosedError);
        });
    }

    void connectToHost(const QString &host, quint16 port) override { m_socket->connectToHost(host, port); }

    State state() const override
    {
        switch (m_socket->state()) {
        case QAbstractSocket::UnconnectedState: return State::Unconnected;
        case QAbstractSocket::HostLookupState: return State::HostLookup;
        case QAbstractSocket::ConnectingState: return State::Connecting;
        case QAbstractSocket::ConnectedState: return State::Connected;
        default: return State::Other;
        }
    }

    qint64 write(QByteArrayView data) override { return m_socket->write(data.data(), data.size()); }
    void flush() override { m_socket->flush(); }
    qint64 bytesAvailable() const override { return m_socket->bytesAvailable(); }
    QByteArray readAll() override { return m_socket->readAll(); }
    QString errorString() const override { return m_socket->errorString(); }

    void close() override
    {
        m_socket->disconnect(this);
        m_socket->abort();
        deleteLater();
    }

private:
    Events m_events;
    QTcpSocket *m_socket;
};

} // namespace

} // namespace fortune

Q_DECL_EXPORT fortune::Connection *fortune_tcp_connection_1(QObject *parent, fortune::Connection::Events events)
{
    return new fortune::TcpConnection(parent, std::move(events));
}
