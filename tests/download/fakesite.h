#pragma once
// A scripted web site on 127.0.0.1, and a download loop to point at it.
#include "../testutil.h"
#include "downloadloop.h"

#include <QList>
#include <QTcpServer>
#include <QTemporaryDir>

class QTcpSocket;

// What the site answers to one connection's request.
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
    void onReadyRead(QTcpSocket *socket, int index);
    void sendPiece(QTcpSocket *socket, const Reply &reply, int piece);

    QTcpServer m_server;
    QList<Reply> m_replies;
    QList<QByteArray> m_received;
};

// A download loop on a fresh collection that holds `before` (loaded as at
// start), pointed at 127.0.0.1:port, with waits short enough for tests.
struct LoopRun {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("fortunes.txt"));
    fortune::FortuneList list;
    fortune::DownloadLoop loop{list, path};
    explicit LoopRun(quint16 port, const QByteArray &before = {})
    {
        using namespace std::chrono_literals;
        if (!before.isEmpty() && testutil::writeFile(path, before))
            fortune::loadFortunesFile(path, list);
        loop.setSite(fortune::SiteSettings{QStringLiteral("127.0.0.1"), port});
        loop.setTimeouts(fortune::DownloadTimeouts{3000ms, 1000ms, 3000ms});
    }
    // The list's records, which the file must hold too.
    QList<QByteArray> records() const
    {
        QList<QByteArray> out;
        for (qsizetype i = 0; i < list.count(); ++i)
            out << list.rawAt(i).toByteArray();
        return out;
    }
};
