#pragma once

#include "fortunelist.h"
#include "collectionfile.h"
#include "responsereader.h"
#include "sitesettings.h"
#include "sock.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QSet>
#include <QTimer>

namespace fortune {

// Downloads fortunes until stopped: each cycle opens a fresh connection, sends
// the page request, receives the page, cuts the fortune out and, when it is new,
// stores it (fortunes file first, then the list), and starts the next.
// Everything is driven by socket signals and one timer per wait, so waiting costs
// nothing and the window stays free. A store that cannot be done at once (the
// file still to be read in, a load of the list under way, another writer's lock
// on the file) is taken up again from the event loop: the window's thread never
// sleeps on a lock, and gives up after DownloadTimeouts::lock.
//
// A cycle that cannot finish (no connection, no answer, a page that does not
// end, a page without a readable fortune, an HTTP error, a failed store) ends the
// loop with one message; nothing of that cycle is stored. A site that says it
// is busy for a moment (503 with Retry-After) is asked again after a short
// wait instead, for DownloadTimeouts::busy at most. A fortune that the
// file cannot hold (a line of it is exactly the record separator) is left out
// and counted, and the loop goes on: leftOutMessage() tells of them all once.
class DownloadLoop : public QObject {
    Q_OBJECT
public:
    DownloadLoop(FortuneList &list, QString collectionPath, QObject *parent = nullptr);
    ~DownloadLoop() override;

    // The site the next cycle goes to; a cycle under way keeps its own.
    void setSite(const SiteSettings &site) { m_chosenSite = site; }
    const SiteSettings &site() const { return m_chosenSite; }
    void setTimeouts(const DownloadTimeouts &timeouts) { m_timeouts = timeouts; }

    bool isRunning() const { return m_running; }
    // A cycle is connected and fetching its page, or storing its fortune.
    bool FetchPending() const { return m_phase == Phase::Receiving || m_phase == Phase::Storing; }
    // Stop was asked for (and not cleared by a later start).
    bool StopRequested() const { return m_StopRequested; }
    // The receive buffer: what the last page request got back, as received.
    // Emptied when a request is sent, and again after a fortune is stored.
    const QByteArray &receiveBuffer() const { return m_buffer; }
    // The loop ended because of the site: it could not be reached, did not
    // answer, or sent no page with a fortune that can be read. Another site
    // may do; not so when the fortune could not be stored.
    bool siteFailed() const { return m_siteFailed; }
    // How many different fortunes this run (or the last) left out, and the
    // one message that says so; empty when none.
    qsizetype leftOut() const { return m_leftOut.size(); }
    QString leftOutMessage() const;

    // For the hidden single-step buttons (SingleStep), which go to the same
    // site with the same waits and fill the same receive buffer, only while
    // the loop does not run.
    const DownloadTimeouts &timeouts() const { return m_timeouts; }
    QByteArray &stepBuffer() { return m_buffer; }
    // The connect messages, built here for both.
    QString connectFailure(const SiteSettings &site, const QString &why) const;
    QString noConnectionWithin(const SiteSettings &site) const;

public slots:
    // "Download Fortunes": ignored while the loop runs.
    void start();
    // "Stop It Already!!!!": a cycle still waiting to connect or for its page is
    // abandoned, and the loop is idle when this returns.
    void stop();

signals:
    // start() begins a run; a single step under way gives way to it.
    void started();
    // A new fortune is in the file and the list, which now holds count fortunes.
    void fortuneStored(qsizetype count);
    // A cycle ended normally, with a new fortune stored, a known one, or one
    // left out.
    void cycleCompleted(bool stored);
    // The site said it is busy and the loop waits (the message says which
    // and how long), or the wait is over (an empty message).
    void siteBusy(const QString &message);
    // The loop ended: an empty message when stopped, otherwise what went wrong.
    void finished(const QString &message);

private:
    enum class Phase { Idle, Connecting, Receiving, Storing, Busy };

    void beginCycle();
    void onConnected();
    void Sock_DataArrival();
    void onFailed(const QString &reason, bool remoteClosed);
    void onTimeout();
    void handle(ResponseReader::Progress progress, const QString &reason = {});
    bool waitWhileBusy();
    void setBusy(const QString &message);
    // With the whole page in: cut the fortune out and store it when it is new.
    void FetchFortune();
    void storeFortune();
    void armReceiveTimer();
    void finish(const QString &message, bool siteFailed = true);
    void leaveOut(QByteArrayView text);

    // The other messages, each built in one place.
    QString noAnswer(const QString &why) const;
    QString unfinished(const QString &why) const;
    QString seconds(std::chrono::milliseconds ms) const;

    FortuneList &m_list;
    CollectionFile m_fortunesFile; // where new fortunes go, kept open while the loop runs
    SiteSettings m_chosenSite;
    SiteSettings m_site; // the cycle's: its connection, request and messages
    DownloadTimeouts m_timeouts;

    Sock m_sock;
    QTimer m_timer; // the one wait under way: connect, the page, or the store's next try
    bool m_pageTimer = false; // the timer counts down the whole page, not a silence
    QDeadlineTimer m_pageDeadline;
    ResponseReader m_reader;
    QByteArray m_buffer;
    QByteArray m_fortune;        // the fortune being stored
    QDeadlineTimer m_lockWait;   // since another writer's lock first kept it out
    std::chrono::milliseconds m_lockPoll{0};
    QDeadlineTimer m_busyFor{QDeadlineTimer::Forever}; // since the site first said it is busy

    Phase m_phase = Phase::Idle;
    bool m_running = false;
    bool m_StopRequested = false;
    bool m_siteFailed = false;
    QSet<QByteArray> m_leftOut; // digests of the fortunes left out, each counted once
};

} // namespace fortune
