#include "fileio.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <chrono>
#include <thread>

namespace fortune {

TextEncoding encodingOf(OpenFile &file)
{
    char head[3] = {};
    const qint64 got = file.readAt(0, head, sizeof head);
    return encodingOf(QByteArrayView(head, std::max<qint64>(got, 0)));
}

bool OpenFile::lock()
{
    // Another writer of this program holds it only while it writes a record
    // or a batch, so the first try nearly always succeeds. Otherwise look
    // again every millisecond.
    const QDeadlineTimer deadline(kLockPatience);
    for (;;) {
        const LockTry got = tryLock();
        if (got != LockTry::Busy)
            return true; // where there are no locks, go on as before there were any
        if (deadline.hasExpired())
            return fail(FileProblem::Locked, {});
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool OpenFile::fail(FileProblem problem, const QString &error)
{
    m_problem = problem;
    m_error = error;
    return false;
}

} // namespace fortune
