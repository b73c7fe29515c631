#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// A web site on 127.0.0.1 that answers each connection's request with a scripted
// reply and records every byte it receives.
struct Reply {
    enum class End {
        KeepOpen, // stay connected, as a keep-alive server does
        Close,    // close once everything is written
        Reset,    // break the connection off (RST) after the pieces
        Silent,   // read the request and never answer
    };
    QList<QByteArray> pieces; // written one after the other
    int dripMs = 0;           // pause before each piece after the first
    End end = End::KeepOpen;
};

class FakeSite : public QObject {
    Q_OBJECT
public:
    FakeSite();
    quint16 port() const { return m_server.serverPort(); }
    // Connection i gets replies[i % size].
    void setReplies(QList<Reply> replies) { m_replies = std::move(replies); }
    int connections() const { return int(m_received.size()); }
    // Everything received on connection i.
    QByteArray received(int i) const { return m_received.value(i); }

signals:
    void requestReceived(int connection);

private:
    void accept();
    void onReadyRead(QTcpSocket *socket, int index);
    void sendPiece(QTcpSocket *socket, const Reply &reply, int piece);

    QTcpServer m_server;
    QList<Reply> m_replies;
    QList<QByteArray> m_received;
};
