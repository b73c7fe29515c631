#include "sock.h"

#include "logging.h"

namespace fortune {

Sock::Sock(QObject *parent) : QObject(parent)
{
    m_socket.setParent(this);
    connect(&m_socket, &QTcpSocket::connected, this, [this] {
        if (m_closing)
            return;
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        emit connected();
    });
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
        if (!m_closing)
            emit DataArrival(m_socket.bytesAvailable());
    });
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (m_closing)
            return;
        m_error = true;
        qCDebug(lcDownload) << "socket error" << error << m_socket.errorString();
        emit failed(m_socket.errorString(), error == QAbstractSocket::RemoteHostClosedError);
    });
}

void Sock::setSite(const SiteSettings &site)
{
    RemoteHost = site.RemoteHost;
    RemotePort = site.RemotePort;
}

bool Sock::Connect()
{
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        return false;
    m_error = false;
    m_socket.connectToHost(RemoteHost, RemotePort);
    return true;
}

int Sock::State() const
{
    switch (m_socket.state()) {
    case QAbstractSocket::UnconnectedState: return m_error ? Error : Closed;
    case QAbstractSocket::HostLookupState: return ResolvingHost;
    case QAbstractSocket::ConnectingState: return Connecting;
    case QAbstractSocket::ConnectedState: return Connected;
    case QAbstractSocket::BoundState: return Open;
    case QAbstractSocket::ListeningState: return Listening;
    case QAbstractSocket::ClosingState: return Closing;
    }
    return Closed;
}

bool Sock::SendData(QByteArrayView text)
{
    if (m_socket.state() != QAbstractSocket::ConnectedState)
        return false;
    return m_socket.write(text.data(), text.size()) == text.size();
}

QByteArray Sock::GetData()
{
    return m_socket.readAll();
}

void Sock::Close()
{
    m_error = false;
    if (m_socket.state() == QAbstractSocket::UnconnectedState)
        return;
    // abort() reports the disconnection synchronously; none of that is news to
    // whoever asked for the close.
    m_closing = true;
    m_socket.abort();
    m_closing = false;
}

} // namespace fortune
