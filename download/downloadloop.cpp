#include "downloadloop.h"

#include "extraction.h"
#include "fortunesformat.h"
#include "logging.h"
#include "pagerequest.h"

#include <QCryptographicHash>

namespace fortune {

DownloadLoop::DownloadLoop(FortuneList &list, QString collectionPath, QObject *parent)
    : QObject(parent), m_list(list), m_fortunesFile(std::move(collectionPath)), m_chosenSite(defaultSiteSettings())
{
    // No socket yet: the first connection makes one.
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &DownloadLoop::onTimeout);
    connect(&m_sock, &Sock::connected, this, &DownloadLoop::onConnected);
    connect(&m_sock, &Sock::DataArrival, this, &DownloadLoop::Sock_DataArrival);
    connect(&m_sock, &Sock::failed, this, &DownloadLoop::onFailed);
}

DownloadLoop::~DownloadLoop()
{
    // Nothing is half-written at any moment (each record is one write), so the
    // loop can simply be dropped, whatever it was waiting for.
    m_timer.stop();
    m_sock.Close();
}

void DownloadLoop::start()
{
    if (m_running)
        return;
    m_StopRequested = false;
    m_running = true;
    m_leftOut.clear();
    m_busyFor = QDeadlineTimer(QDeadlineTimer::Forever);
    emit started();
    if (m_running)
        beginCycle();
}

void DownloadLoop::stop()
{
    m_StopRequested = true;
    if (m_running)
        finish(QString());
}

void DownloadLoop::beginCycle()
{
    m_sock.Close();
    m_site = m_chosenSite;
    m_sock.setSite(m_site);
    m_reader.reset();
    m_phase = Phase::Connecting;
    m_timer.start(m_timeouts.connect);
    qCDebug(lcDownload) << "connecting to" << m_site.display();
    m_sock.Connect(); // may fail at once, and end the loop before it returns
}

void DownloadLoop::onConnected()
{
    m_buffer.clear();
    m_phase = Phase::Receiving;
    if (!sendPageRequest(m_sock, m_site.webHost())) {
        finish(tr("Could not send the page request to %1: %2.").arg(m_site.display(), m_sock.errorString()));
        return;
    }
    m_pageDeadline = QDeadlineTimer(m_timeouts.page);
    armReceiveTimer();
}

void DownloadLoop::armReceiveTimer()
{
    const auto pageLeft = std::chrono::ceil<std::chrono::milliseconds>(m_pageDeadline.remainingTimeAsDuration());
    m_pageTimer = pageLeft <= m_timeouts.idle;
    m_timer.start(m_pageTimer ? pageLeft : m_timeouts.idle);
}

void DownloadLoop::Sock_DataArrival()
{
    const QByteArray data = m_sock.GetData();
    if (data.isEmpty() || m_phase != Phase::Receiving)
        return;
    const ResponseReader::Progress progress = m_reader.feed(data);
    if (m_reader.failure() != ResponseReader::Failure::TooLarge)
        m_buffer += data;
    handle(progress);
}

void DownloadLoop::onFailed(const QString &reason, bool remoteClosed)
{
    switch (m_phase) {
    case Phase::Idle:
    case Phase::Storing:
    case Phase::Busy:
        return;
    case Phase::Connecting:
        finish(connectFailure(m_site, reason));
        return;
    case Phase::Receiving:
        break;
    }
    // Whatever came before the connection ended still counts.
    Sock_DataArrival();
    if (m_phase != Phase::Receiving)
        return;
    if (remoteClosed)
        handle(m_reader.closed(), reason);
    else if (m_reader.receivedBytes() == 0)
        finish(noAnswer(reason));
    else
        finish(unfinished(reason));
}

void DownloadLoop::onTimeout()
{
    switch (m_phase) {
    case Phase::Idle:
        return;
    case Phase::Connecting:
        finish(noConnectionWithin(m_site));
        return;
    case Phase::Storing:
        storeFortune();
        return;
    case Phase::Busy:
        setBusy({});
        beginCycle();
        return;
    case Phase::Receiving:
        break;
    }
    if (m_pageTimer)
        finish(tr("The page from %1 did not finish within %2.").arg(m_site.display(), seconds(m_timeouts.page)));
    else if (m_reader.receivedBytes() == 0)
        finish(noAnswer(tr("nothing came within %1 of the request").arg(seconds(m_timeouts.idle))));
    else
        finish(unfinished(tr("no new data for %1").arg(seconds(m_timeouts.idle))));
}

void DownloadLoop::handle(ResponseReader::Progress progress, const QString &reason)
{
    using Failure = ResponseReader::Failure;
    switch (progress) {
    case ResponseReader::Progress::NeedMore:
        armReceiveTimer();
        return;
    case ResponseReader::Progress::Complete:
        FetchFortune();
        return;
    case ResponseReader::Progress::Failed:
        break;
    }
    if (m_reader.failure() == Failure::Status && waitWhileBusy())
        return;
    const QString site = m_site.display();
    const QString detail = m_reader.detail();
    switch (m_reader.failure()) {
    case Failure::None:
    case Failure::NoAnswer:
        finish(noAnswer(reason.isEmpty() ? detail : reason));
        break;
    case Failure::Incomplete:
        finish(unfinished(reason.isEmpty() ? detail : detail + QStringLiteral(" (") + reason + u')'));
        break;
    case Failure::TooLarge:
        finish(tr("The page from %1 is too large: %2.").arg(site, detail));
        break;
    case Failure::Malformed:
        finish(tr("The answer from %1 is not a usable web page: %2.").arg(site, detail));
        break;
    case Failure::Status:
        if (m_reader.status() == 503 && m_busyFor.hasExpired())
            finish(tr("%1 stayed busy for %2: the server answered %3.").arg(site, seconds(m_timeouts.busy), detail));
        else
            finish(tr("The page from %1 held no fortune: the server answered %2.").arg(site, detail));
        break;
    }
}

// A site that is busy for a moment (fortune-site at its connection limit,
// nginx's rate limit) says when to come back. The loop waits that long, but
// a second at least and kMaxBusyWait at most whatever it says, and gives up
// once the site has been busy for DownloadTimeouts::busy.
bool DownloadLoop::waitWhileBusy()
{
    using namespace std::chrono_literals;
    constexpr std::chrono::milliseconds kMaxBusyWait = 5s;
    const std::optional<std::chrono::seconds> after = m_reader.retryAfter();
    if (m_reader.status() != 503 || !after)
        return false;
    if (m_busyFor.isForever())
        m_busyFor = QDeadlineTimer(m_timeouts.busy);
    if (m_busyFor.hasExpired())
        return false;
    const std::chrono::milliseconds wait = std::clamp<std::chrono::milliseconds>(*after, 1s, kMaxBusyWait);
    m_sock.Close();
    m_phase = Phase::Busy;
    m_timer.start(wait);
    setBusy(tr("%1 is busy: trying again in %2.").arg(m_site.display(), seconds(wait)));
    return true;
}

void DownloadLoop::setBusy(const QString &message)
{
    if (!message.isEmpty())
        qCInfo(lcDownload) << message;
    emit siteBusy(message);
}

void DownloadLoop::FetchFortune()
{
    // This cycle is done with the network.
    m_timer.stop();
    m_sock.Close();
    m_phase = Phase::Idle;
    const PageFortune fortune = extractFortune(m_reader.body(), m_reader.contentType());
    if (!fortune.text) {
        finish(fortune.unreadable.isEmpty()
                   ? tr("The page from %1 held no fortune.").arg(m_site.display())
                   : tr("The fortune on the page from %1 cannot be read: %2.").arg(m_site.display(), fortune.unreadable));
        return;
    }

    // New is what the collection file does not hold yet, whoever wrote it there.
    m_fortune = fortune.text->toUtf8();
    // The file would read such a fortune back as two: it is left out (stored
    // as the empty fortune is, not at all), and the site's other fortunes
    // still come in.
    if (holdsSeparatorLine(m_fortune)) {
        leaveOut(m_fortune);
        m_fortune.clear();
    }
    m_phase = Phase::Storing;
    m_lockWait = QDeadlineTimer(QDeadlineTimer::Forever);
    storeFortune();
}

// A slice of the store at a time, from the event loop, until it is done.
void DownloadLoop::storeFortune()
{
    using Again = CollectionFile::Stored::Again;
    const QByteArray &text = m_fortune;
    const CollectionFile::Stored store =
        text.isEmpty() ? CollectionFile::Stored{} : m_fortunesFile.storeUnlessHeld(text, m_list, QDeadlineTimer(kSlice));
    if (store.again == Again::Soon) {
        m_timer.start(0);
        return;
    }
    Status failed = store.status;
    if (store.again == Again::Locked) {
        // Looked at again every few milliseconds, soon at first: another
        // window holds it for a moment only, an import for one batch.
        if (m_lockWait.isForever()) {
            m_lockWait = QDeadlineTimer(m_timeouts.lock);
            m_lockPoll = std::chrono::milliseconds(1);
        }
        if (!m_lockWait.hasExpired()) {
            m_timer.start(m_lockPoll);
            m_lockPoll = std::min(2 * m_lockPoll, std::chrono::milliseconds(16));
            return;
        }
        failed = m_fortunesFile.lockedOut();
    }
    m_phase = Phase::Idle;
    if (!failed.ok()) {
        finish(tr("Could not store the fortune from %1: %2").arg(m_site.display(), failed.error), false);
        return;
    }
    if (store.stored) {
        m_buffer.clear();
        emit fortuneStored(m_list.count());
    }
    m_busyFor = QDeadlineTimer(QDeadlineTimer::Forever);
    emit cycleCompleted(store.stored);
    // Unless a handler above stopped the loop, or stopped and started it again.
    if (m_running && m_phase == Phase::Idle)
        beginCycle();
}

void DownloadLoop::finish(const QString &message, bool siteFailed)
{
    qCDebug(lcDownload) << "loop ends:" << message;
    if (m_phase == Phase::Busy)
        setBusy({});
    m_timer.stop();
    m_sock.Close();
    m_fortunesFile.close(); // held open only while the loop runs
    m_siteFailed = siteFailed && !message.isEmpty();
    m_phase = Phase::Idle;
    m_running = false;
    emit finished(message);
}

void DownloadLoop::leaveOut(QByteArrayView text)
{
    // A digest keeps the memory small whatever the site sends; a site that
    // serves the same fortune again is counted once.
    const QByteArray digest = QCryptographicHash::hash(text, QCryptographicHash::Sha256);
    if (m_leftOut.contains(digest))
        return;
    m_leftOut.insert(digest);
    qCInfo(lcDownload) << "left out a fortune from" << m_site.display()
                       << "holding a line that is exactly the record separator:"
                       << QString::fromUtf8(text.first(std::min<qsizetype>(text.size(), 200)));
}

QString DownloadLoop::leftOutMessage() const
{
    // Not naming the site: another may have been chosen while the loop ran.
    const QString separator = QString::fromLatin1(kSeparator);
    switch (m_leftOut.size()) {
    case 0:
        return {};
    case 1:
        return tr("1 downloaded fortune was left out: a line of it is exactly the record separator \"%1\", "
                  "which would split it in two in the fortunes file.").arg(separator);
    default:
        return tr("%1 downloaded fortunes were left out: each has a line that is exactly the record separator "
                  "\"%2\", which would split it in two in the fortunes file.")
            .arg(QString::number(m_leftOut.size()), separator);
    }
}

QString DownloadLoop::connectFailure(const SiteSettings &site, const QString &why) const
{
    return tr("Could not connect to %1: %2.").arg(site.display(), why);
}

QString DownloadLoop::noConnectionWithin(const SiteSettings &site) const
{
    return connectFailure(site, tr("no connection within %1").arg(seconds(m_timeouts.connect)));
}

QString DownloadLoop::noAnswer(const QString &why) const
{
    return tr("No answer from %1: %2.").arg(m_site.display(), why);
}

QString DownloadLoop::unfinished(const QString &why) const
{
    return tr("The page from %1 did not finish: %2.").arg(m_site.display(), why);
}

QString DownloadLoop::seconds(std::chrono::milliseconds ms) const
{
    return tr("%1 s").arg(QString::number(double(ms.count()) / 1000.0, 'g', 4));
}

} // namespace fortune
