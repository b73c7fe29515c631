#include "sock.h"

#include "connection.h"
#include "logging.h"

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
    if (m_socket && m_socket->state() != Connection::State::Unconnected)
        return false;
    Close();
    QString why;
    const MakeConnection make = connectionMaker(&why);
    m_noNetwork = !make;
    if (!make) {
        m_error = true;
        emit failed(why, false);
        return true;
    }
    m_socket = make(this, {
        [this] { emit connected(); },
        [this] { emit DataArrival(m_socket->bytesAvailable()); },
        [this](const QString &reason, bool remoteClosed) {
            m_error = true;
            qCDebug(lcDownload) << "socket error:" << reason;
            emit failed(reason, remoteClosed);
        },
    });
    m_socket->connectToHost(m_remoteHost, m_remotePort);
    return true;
}

Sock::StateValue Sock::State() const
{
    switch (m_socket ? m_socket->state() : Connection::State::Unconnected) {
    case Connection::State::HostLookup: return StateValue::ResolvingHost;
    case Connection::State::Connecting: return StateValue::Connecting;
    case Connection::State::Connected: return StateValue::Connected;
    default: return m_error ? StateValue::Error : StateValue::Closed;
    }
}

bool Sock::SendData(QByteArrayView text)
{
    if (State() != StateValue::Connected)
        return false;
    return m_socket->write(text) == text.size();
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
    // Close may come from within one of the socket's own events: the object
    // goes once control is back in the event loop, and says nothing more.
    std::exchange(m_socket, nullptr)->close();
}

QString Sock::errorString() const
{
    return m_socket ? m_socket->errorString() : QString();
}

} // namespace fortune
