#pragma once
// A scripted web site on 127.0.0.1, and a download loop to point at it.
#include "../testutil.h"
#include "downloadloop.h"

#include <QTcpServer>
#include <QTemporaryDir>

class QTcpSocket;

// What the site answers to one connection's request.
struct Reply {
    enum class End { KeepOpen, Close, Silent }; // Silent: read the request, never answer
    QList<QByteArray> pieces;                   // written one after the other
    int dripMs = 0;                             // pause before each piece after the first
    End end = End::KeepOpen;
};

class FakeSite : public QObject {
    Q_OBJECT
public:
    FakeSite();
    quint16 port() const { return m_server.serverPort(); }
    void stopAccepting() { m_server.pauseAccepting(); }
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
// start), pointed at 127.0.0.1:port, with waits of a second or two.
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
        loop.setTimeouts(fortune::DownloadTimeouts{1500ms, 1000ms, 5000ms});
    }
};
