#pragma once

#include "downloadloop.h"
#include "sock.h"

#include <QObject>
#include <QTimer>

namespace fortune {

// The hidden single-step buttons' connection, beside the loop's: connect,
// then send the page request; what comes back collects in the loop's receive
// buffer as it arrives, where the extraction test reads it. Refused while the
// loop runs; a step under way gives way when the loop starts.
class SingleStep : public QObject {
    Q_OBJECT
public:
    explicit SingleStep(DownloadLoop &loop, QObject *parent = nullptr);
    ~SingleStep() override;

    // The buffer says "Connecting...", then "Connected..." once connected;
    // connectFinished tells the outcome.
    void connectStep();
    // Empties the buffer and sends the page request on the connection.
    Status sendRequest();

signals:
    // connectStep's outcome: empty when connected, otherwise what went wrong.
    void connectFinished(const QString &message);

private:
    void onConnected();
    void onData();
    void onFailed(const QString &reason);
    void end(const QString &message);
    void abandon();

    DownloadLoop &m_loop;
    Sock m_sock;
    QTimer m_timer; // the connect's wait
    bool m_connecting = false;
};

} // namespace fortune
