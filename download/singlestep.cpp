#include "singlestep.h"

#include "logging.h"
#include "pagerequest.h"
#include "responsereader.h"

namespace fortune {

SingleStep::SingleStep(DownloadLoop &loop, QObject *parent) : QObject(parent), m_loop(loop)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { end(m_loop.noConnectionWithin(m_loop.site())); });
    connect(&m_sock, &Sock::connected, this, &SingleStep::onConnected);
    connect(&m_sock, &Sock::DataArrival, this, &SingleStep::onData);
    connect(&m_sock, &Sock::failed, this, &SingleStep::onFailed);
    connect(&m_loop, &DownloadLoop::started, this, &SingleStep::abandon);
}

SingleStep::~SingleStep()
{
    m_timer.stop();
    m_sock.Close();
}

void SingleStep::connectStep()
{
    if (m_loop.isRunning() || m_connecting) {
        emit connectFinished(tr("A download is running."));
        return;
    }
    QByteArray &buffer = m_loop.stepBuffer();
    buffer = QByteArrayLiteral("Connecting...");
    if (m_sock.State() == Sock::StateValue::Connected) {
        buffer = QByteArrayLiteral("Connected...");
        emit m_loop.receiveBufferChanged();
        emit connectFinished(QString());
        return;
    }
    emit m_loop.receiveBufferChanged();
    m_sock.Close();
    m_sock.setSite(m_loop.site());
    m_connecting = true;
    m_timer.start(m_loop.timeouts().connect);
    m_sock.Connect();
}

void SingleStep::onConnected()
{
    m_loop.stepBuffer() = QByteArrayLiteral("Connected...");
    emit m_loop.receiveBufferChanged();
    end(QString());
}

void SingleStep::onFailed(const QString &reason)
{
    // A connection made earlier that goes away is no news: the next connect
    // starts afresh.
    if (m_connecting)
        end(m_loop.connectFailure(m_loop.site(), reason));
}

void SingleStep::end(const QString &message)
{
    m_timer.stop();
    if (!message.isEmpty())
        m_sock.Close();
    m_connecting = false;
    emit connectFinished(message);
}

void SingleStep::abandon()
{
    m_timer.stop();
    m_sock.Close();
    m_connecting = false;
}

Status SingleStep::sendRequest()
{
    if (m_loop.isRunning() || m_connecting)
        return Status::failure(tr("A download is running."));
    m_loop.stepBuffer().clear();
    emit m_loop.receiveBufferChanged();
    if (!sendPageRequest(m_sock, m_loop.site().webHost()))
        return Status::failure(tr("Could not send the page request: not connected to %1.").arg(m_loop.site().display()));
    return {};
}

void SingleStep::onData()
{
    const QByteArray data = m_sock.GetData();
    QByteArray &buffer = m_loop.stepBuffer();
    if (data.size() > ResponseReader::kMaxResponse - buffer.size()) {
        qCWarning(lcDownload) << "answer over 8 MiB; connection closed";
        m_sock.Close();
        return;
    }
    buffer += data;
    emit m_loop.receiveBufferChanged();
}

} // namespace fortune
