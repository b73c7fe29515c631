#pragma once

#include "fortunelist.h"
#include "collectionfile.h"
#include "httpresponse.h"
#include "sitesettings.h"
#include "sock.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

namespace fortune {

// Downloads fortunes until stopped: each cycle opens a fresh connection, sends
// the page request, receives the page, cuts the fortune out and, when it is new,
// stores it (fortunes file first, then the list), and starts the next.
// Everything is driven by socket signals and one timer per wait, so waiting costs
// nothing and the window stays free.
//
// A cycle that cannot finish (no connection, no answer, a page that does not
// end, a page without a readable fortune, an HTTP error, a failed store) ends the
// loop with one message; nothing of that cycle is stored.
class DownloadLoop : public QObject {
    Q_OBJECT
public:
    DownloadLoop(FortuneList &list, QString collectionPath, QObject *parent = nullptr);
    ~DownloadLoop() override;

    void setSite(const SiteSettings &site) { m_site = site; }
    void setTimeouts(const DownloadTimeouts &timeouts) { m_timeouts = timeouts; }

    bool isRunning() const { return m_running; }
    // A cycle is connected and fetching its page.
    bool FetchPending() const { return m_phase == Phase::Receiving; }
    // Stop was asked for (and not cleared by a later start).
    bool StopRequested() const { return m_StopRequested; }
    // The receive buffer: what the last page request got back, as received.
    // Emptied when a request is sent, and again after a fortune is stored.
    const QByteArray &receiveBuffer() const { return m_buffer; }

public slots:
    // "Download Fortunes": ignored while the loop runs.
    void start();
    // "Stop It Already!!!!": a cycle still waiting to connect or for its page is
    // abandoned, and the loop is idle when this returns.
    void stop();

    // Single steps for the hidden buttons; refused while the loop runs.
    // Connect: the buffer says "Connecting...", then "Connected..." once connected;
    // connectStepFinished tells the outcome.
    void connectStep();
    // Empties the buffer and sends the page request on the connected socket; the
    // answer collects in the buffer as it comes.
    Status sendRequestStep();

signals:
    // A new fortune is in the file and the list, which now holds count fortunes.
    void fortuneStored(qsizetype count);
    // A cycle ended normally, with a new fortune stored or with a known one.
    void cycleCompleted(bool stored);
    // The loop ended: an empty message when stopped, otherwise what went wrong.
    void finished(const QString &message);
    // connectStep's outcome: empty when connected, otherwise what went wrong.
    void connectStepFinished(const QString &message);

private:
    enum class Phase { Idle, StepConnecting, Connecting, Receiving };

    void beginCycle();
    void onConnected();
    void Sock_DataArrival();
    void onFailed(const QString &reason, bool remoteClosed);
    void onTimeout();
    void handle(ResponseReader::Progress progress, const QString &reason = {});
    // With the whole page in: cut the fortune out and store it when it is new.
    void FetchFortune();
    void armReceiveTimer();
    void endStep(const QString &message);
    void finish(const QString &message);

    // The messages, each built in one place.
    QString connectFailure(const QString &why) const;
    QString noConnectionWithin() const;
    QString noAnswer(const QString &why) const;
    QString unfinished(const QString &why) const;
    QString seconds(std::chrono::milliseconds ms) const;

    FortuneList &m_list;
    CollectionFile m_fortunesFile; // where new fortunes go, kept open while the loop runs
    SiteSettings m_site;
    DownloadTimeouts m_timeouts;

    Sock m_sock;
    QTimer m_timer; // the one wait under way: connect, or the page
    bool m_pageTimer = false; // the timer counts down the whole page, not a silence
    QDeadlineTimer m_pageDeadline;
    ResponseReader m_reader;
    QByteArray m_buffer;

    Phase m_phase = Phase::Idle;
    bool m_running = false;
    bool m_StopRequested = false;
};

} // namespace fortune
