#include "fakesite.h"

#include "httprequest.h"

#include <QTcpSocket>
#include <QTimer>

FakeSite::FakeSite()
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            const int index = int(m_received.size());
            m_received.append(QByteArray());
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, index] { onReadyRead(socket, index); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("fake site: cannot listen: %s", qPrintable(m_server.errorString()));
}

void FakeSite::onReadyRead(QTcpSocket *socket, int index)
{
    const bool hadRequest = fortune::site::requestHeadLength(m_received[index]) >= 0;
    m_received[index] += socket->readAll();
    if (hadRequest || fortune::site::requestHeadLength(m_received[index]) < 0 || m_replies.isEmpty())
        return;
    emit requestReceived(index);
    const Reply reply = m_replies.at(index % m_replies.size());
    if (reply.end != Reply::End::Silent)
        sendPiece(socket, reply, 0);
}

void FakeSite::sendPiece(QTcpSocket *socket, const Reply &reply, int piece)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    for (; piece < reply.pieces.size(); ++piece) {
        socket->write(reply.pieces.at(piece));
        socket->flush();
        if (piece + 1 < reply.pieces.size() && reply.dripMs > 0) {
            QTimer::singleShot(reply.dripMs, socket, [this, socket, reply, piece] { sendPiece(socket, reply, piece + 1); });
            return;
        }
    }
    if (reply.end == Reply::End::Close)
        socket->disconnectFromHost();
}
