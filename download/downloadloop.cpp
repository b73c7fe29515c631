#include "downloadloop.h"

#include "extraction.h"
#include "fortunesfile.h"
#include "logging.h"
#include "pagerequest.h"

namespace fortune {

DownloadLoop::DownloadLoop(FortuneList &list, QString collectionPath, QObject *parent)
    : QObject(parent), m_list(list), m_fortunesFile(std::move(collectionPath)), m_site(defaultSiteSettings())
{
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
    m_timer.stop();
    m_StopRequested = false;
    m_running = true;
    ++m_generation;
    emit runningChanged(true);
    beginCycle();
}

void DownloadLoop::stop()
{
    m_StopRequested = true;
    if (!m_running)
        return;
    finish(QString());
}

void DownloadLoop::beginCycle()
{
    if (!m_running)
        return;
    if (m_StopRequested) {
        finish(QString());
        return;
    }
    m_FetchPending = false;
    m_sock.Close();
    m_sock.setSite(m_site);
    m_reader.reset();
    m_phase = Phase::Connecting;
    m_waiting = Waiting::Connect;
    m_timer.start(m_timeouts.connect);
    qCDebug(lcDownload) << "connecting to" << m_site.display();
    m_sock.Connect();
}

void DownloadLoop::onConnected()
{
    if (m_phase == Phase::StepConnecting) {
        m_timer.stop();
        m_phase = Phase::Idle;
        m_buffer = QByteArrayLiteral("Connected...");
        emit connectStepFinished(QString());
        return;
    }
    if (m_phase != Phase::Connecting)
        return;
    m_FetchPending = true;
    m_buffer.clear();
    if (!sendPageRequest(m_sock, m_site.webHost())) {
        fail(tr("Could not send the page request to %1: %2.").arg(m_site.display(), m_sock.errorString()));
        return;
    }
    m_phase = Phase::Receiving;
    m_pageDeadline = QDeadlineTimer(m_timeouts.page);
    armReceiveTimer();
}

void DownloadLoop::armReceiveTimer()
{
    const auto pageLeft = std::chrono::ceil<std::chrono::milliseconds>(m_pageDeadline.remainingTimeAsDuration());
    if (m_timeouts.idle < pageLeft) {
        m_waiting = Waiting::Idle;
        m_timer.start(m_timeouts.idle);
    } else {
        m_waiting = Waiting::Page;
        m_timer.start(pageLeft);
    }
}

void DownloadLoop::Sock_DataArrival()
{
    const QByteArray data = m_sock.GetData();
    if (data.isEmpty())
        return;
    if (m_phase != Phase::Receiving) {
        // The hidden buttons' single steps: whatever comes collects in the buffer.
        if (m_running)
            return;
        if (data.size() > ResponseReader::kMaxResponse - m_buffer.size()) {
            qCWarning(lcDownload) << "answer over 8 MiB; connection closed";
            m_sock.Close();
            return;
        }
        m_buffer += data;
        return;
    }
    const ResponseReader::Progress progress = m_reader.feed(data);
    if (m_reader.failure() != ResponseReader::Failure::TooLarge)
        m_buffer += data;
    handle(progress);
}

void DownloadLoop::onFailed(const QString &reason, bool remoteClosed)
{
    switch (m_phase) {
    case Phase::Idle:
        return; // a single-step connection went away; the next Connect starts afresh
    case Phase::StepConnecting:
        m_timer.stop();
        m_sock.Close();
        m_phase = Phase::Idle;
        emit connectStepFinished(tr("Could not connect to %1: %2.").arg(m_site.display(), reason));
        return;
    case Phase::Connecting:
        fail(tr("Could not connect to %1: %2.").arg(m_site.display(), reason));
        return;
    case Phase::Receiving:
        break;
    }
    // Whatever came before the connection ended still counts.
    Sock_DataArrival();
    if (m_phase != Phase::Receiving)
        return;
    if (remoteClosed) {
        handle(m_reader.closed(), reason);
    } else if (m_reader.receivedBytes() == 0) {
        fail(tr("No answer from %1: %2.").arg(m_site.display(), reason));
    } else {
        fail(tr("The page from %1 did not finish: %2.").arg(m_site.display(), reason));
    }
}

QString DownloadLoop::seconds(std::chrono::milliseconds ms) const
{
    return tr("%1 s").arg(QString::number(double(ms.count()) / 1000.0, 'g', 4));
}

void DownloadLoop::onTimeout()
{
    switch (m_phase) {
    case Phase::Idle:
        return;
    case Phase::StepConnecting:
        m_sock.Close();
        m_phase = Phase::Idle;
        emit connectStepFinished(tr("Could not connect to %1: no connection within %2.")
                                     .arg(m_site.display(), seconds(m_timeouts.connect)));
        return;
    case Phase::Connecting:
        fail(tr("Could not connect to %1: no connection within %2.").arg(m_site.display(), seconds(m_timeouts.connect)));
        return;
    case Phase::Receiving:
        break;
    }
    if (m_waiting == Waiting::Page)
        fail(tr("The page from %1 did not finish within %2.").arg(m_site.display(), seconds(m_timeouts.page)));
    else if (m_reader.receivedBytes() == 0)
        fail(tr("No answer from %1: nothing came within %2 of the request.")
                 .arg(m_site.display(), seconds(m_timeouts.idle)));
    else
        fail(tr("The page from %1 did not finish: no new data for %2.").arg(m_site.display(), seconds(m_timeouts.idle)));
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
    const QString site = m_site.display();
    const QString detail = m_reader.detail();
    switch (m_reader.failure()) {
    case Failure::None:
    case Failure::NoAnswer:
        fail(tr("No answer from %1: %2.").arg(site, reason.isEmpty() ? detail : reason));
        break;
    case Failure::Incomplete:
        fail(tr("The page from %1 did not finish: %2.")
                 .arg(site, reason.isEmpty() ? detail : detail + QStringLiteral(" (") + reason + u')'));
        break;
    case Failure::TooLarge:
        fail(tr("The page from %1 is too large: %2.").arg(site, detail));
        break;
    case Failure::Malformed:
    case Failure::NotText:
        fail(tr("The answer from %1 is not a usable web page: %2.").arg(site, detail));
        break;
    case Failure::Status:
        fail(tr("The page from %1 held no fortune: the server answered %2.").arg(site, detail));
        break;
    }
}

void DownloadLoop::FetchFortune()
{
    m_timer.stop();
    const std::optional<QString> fortune = extractFortune(m_reader.body(), m_reader.contentType());
    if (!fortune) {
        fail(tr("The page from %1 held no fortune.").arg(m_site.display()));
        return;
    }
    const QByteArray text = fortune->toUtf8();

    // This cycle is done with the network. The next connection is started
    // before the fortune is written, so that the handshake and the server's
    // side of it go on while the file is written. Should that connection fail
    // at once, the failure is told after this page is dealt with; should the
    // store fail or a handler of the signals below stop the loop, the new
    // connection is simply closed again, nothing having been sent on it.
    m_FetchPending = false;
    m_sock.Close();
    m_phase = Phase::Idle;
    m_holdFailure = true;
    beginCycle();
    m_holdFailure = false;
    QString nextCycleFailure;
    nextCycleFailure.swap(m_heldFailure);

    // New is what the collection file does not hold yet, whoever wrote it there.
    const CollectionFile::Stored store =
        text.isEmpty() ? CollectionFile::Stored{} : m_fortunesFile.storeUnlessHeld(text, m_list);
    if (!store.status.ok()) {
        fail(tr("Could not store the fortune from %1: %2").arg(m_site.display(), store.status.error));
        return;
    }
    const bool isNew = store.stored;
    if (isNew)
        m_buffer.clear();
    const quint64 generation = m_generation;
    if (isNew)
        emit fortuneStored(m_list.count());
    emit cycleCompleted(isNew);
    // The next cycle's connection comes back through the event loop, so
    // nothing here nests deeper from one cycle to the next.
    if (!nextCycleFailure.isEmpty() && generation == m_generation)
        fail(nextCycleFailure);
}

void DownloadLoop::fail(const QString &message)
{
    qCDebug(lcDownload) << "cycle failed:" << message;
    if (m_holdFailure) {
        // FetchFortune reports it once the page in hand is dealt with.
        m_timer.stop();
        m_sock.Close();
        m_FetchPending = false;
        m_phase = Phase::Idle;
        if (m_heldFailure.isEmpty())
            m_heldFailure = message;
        return;
    }
    finish(message);
}

void DownloadLoop::finish(const QString &message)
{
    m_timer.stop();
    m_sock.Close();
    m_fortunesFile.close(); // held open only while the loop runs
    m_FetchPending = false;
    m_phase = Phase::Idle;
    m_running = false;
    ++m_generation;
    emit runningChanged(false);
    emit finished(message);
}

void DownloadLoop::connectStep()
{
    if (m_running || m_phase != Phase::Idle) {
        emit connectStepFinished(tr("A download is running."));
        return;
    }
    m_buffer = QByteArrayLiteral("Connecting...");
    m_sock.setSite(m_site);
    if (m_sock.State() == Sock::Connected) {
        m_buffer = QByteArrayLiteral("Connected...");
        emit connectStepFinished(QString());
        return;
    }
    m_sock.Close(); // a connection that broke earlier leaves the socket in its error state
    m_phase = Phase::StepConnecting;
    m_waiting = Waiting::Connect;
    m_timer.start(m_timeouts.connect);
    m_sock.Connect();
}

Status DownloadLoop::sendRequestStep()
{
    if (m_running || m_phase != Phase::Idle)
        return Status::failure(tr("A download is running."));
    m_buffer.clear();
    if (!sendPageRequest(m_sock, m_site.webHost()))
        return Status::failure(tr("Could not send the page request: not connected to %1.").arg(m_site.display()));
    return {};
}

} // namespace fortune
