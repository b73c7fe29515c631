#include "sock.h"

#include "logging.h"

#include <QTcpSocket>

#include <utility>

namespace fortune {

Sock::Sock(QObject *parent) : QObject(parent) {}

Sock::~Sock()
{
    Close();
}

void Sock::setSite(const SiteSettings &site)
{
    m_remoteHost = site.RemoteHost;
    m_remotePort = site.RemotePort;
}

bool Sock::Connect()
{
    if (m_socket && m_socket->state() != QAbstractSocket::UnconnectedState)
        return false;
    Close();
    // No TCP_NODELAY: the page request leaves in one write on a fresh
    // connection, which Nagle's algorithm never holds back.
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, &Sock::connected);
    connect(m_socket, &QTcpSocket::readyRead, this, [this] { emit DataArrival(m_socket->bytesAvailable()); });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        m_error = true;
        qCDebug(lcDownload) << "socket error:" << error << m_socket->errorString();
        emit failed(m_socket->errorString(), error == QAbstractSocket::RemoteHostClosedError);
    });
    m_socket->connectToHost(m_remoteHost, m_remotePort);
    return true;
}

Sock::StateValue Sock::State() const
{
    switch (m_socket ? m_socket->state() : QAbstractSocket::UnconnectedState) {
    case QAbstractSocket::HostLookupState: return StateValue::ResolvingHost;
    case QAbstractSocket::ConnectingState: return StateValue::Connecting;
    case QAbstractSocket::ConnectedState: return StateValue::Connected;
    default: return m_error ? StateValue::Error : StateValue::Closed;
    }
}

bool Sock::SendData(QByteArrayView text)
{
    if (State() != StateValue::Connected)
        return false;
    return m_socket->write(text.data(), text.size()) == text.size();
}

void Sock::flush()
{
    if (m_socket)
        m_socket->flush();
}

QByteArray Sock::GetData()
{
    return m_socket ? m_socket->readAll() : QByteArray();
}

void Sock::Close()
{
    m_error = false;
    if (!m_socket)
        return;
    // Close may come from within one of the socket's own signals: the object
    // goes once control is back in the event loop, and says nothing more.
    QTcpSocket *socket = std::exchange(m_socket, nullptr);
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

QString Sock::errorString() const
{
    return m_socket ? m_socket->errorString() : QString();
}

} // namespace fortune
