#include "sock.h"

#include "logging.h"

namespace fortune {

Sock::Sock(QObject *parent) : QObject(parent)
{
    for (QTcpSocket &socket : m_sockets) {
        socket.setParent(this);
        attach(&socket);
    }
}

void Sock::attach(QTcpSocket *socket)
{
    // Only the current socket speaks; the other one is closed and silent.
    connect(socket, &QTcpSocket::connected, this, [this, socket] {
        // No TCP_NODELAY: the page request leaves in one write on a fresh
        // connection, which Nagle's algorithm never holds back.
        if (m_closing || socket != &current())
            return;
        emit connected();
    });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        if (!m_closing && socket == &current())
            emit DataArrival(socket->bytesAvailable());
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError error) {
        if (m_closing || socket != &current())
            return;
        m_error = true;
        qCDebug(lcDownload) << "socket error" << error << socket->errorString();
        emit failed(socket->errorString(), error == QAbstractSocket::RemoteHostClosedError);
    });
}

void Sock::setSite(const SiteSettings &site)
{
    RemoteHost = site.RemoteHost;
    RemotePort = site.RemotePort;
}

bool Sock::Connect()
{
    if (current().state() != QAbstractSocket::UnconnectedState)
        return false;
    m_error = false;
    m_current = 1 - m_current;
    current().connectToHost(RemoteHost, RemotePort);
    return true;
}

int Sock::State() const
{
    switch (current().state()) {
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
    if (current().state() != QAbstractSocket::ConnectedState)
        return false;
    return current().write(text.data(), text.size()) == text.size();
}

QByteArray Sock::GetData()
{
    return current().readAll();
}

void Sock::Close()
{
    m_error = false;
    if (current().state() == QAbstractSocket::UnconnectedState)
        return;
    // abort() reports the disconnection synchronously; none of that is news to
    // whoever asked for the close.
    m_closing = true;
    current().abort();
    m_closing = false;
}

} // namespace fortune
