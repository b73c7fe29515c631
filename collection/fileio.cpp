#include "fileio.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QStringDecoder>

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

std::optional<QByteArray> utf16TextOf(OpenFile &file, TextEncoding encoding, qint64 from)
{
    const qint64 size = file.size();
    if (size < 0)
        return std::nullopt;
    QByteArray raw(qsizetype(std::max<qint64>(0, size - from)), Qt::Uninitialized);
    const qint64 got = file.readAt(from, raw.data(), raw.size());
    if (got < 0)
        return std::nullopt;
    raw.truncate(qsizetype(got));
    QStringDecoder decoder(encoding.kind == TextEncoding::Kind::Utf16LE ? QStringConverter::Utf16LE
                                                                        : QStringConverter::Utf16BE);
    return QString(decoder(raw)).toUtf8();
}

QString followedLinks(const QString &path)
{
    QString at = path;
    // As the system gives up on a loop of links.
    for (int links = 0; links < 40; ++links) {
        const QFileInfo info(at);
        if (!info.isSymLink())
            break;
        at = info.symLinkTarget();
    }
    return at;
}

bool OpenFile::fail(FileProblem problem, const QString &error)
{
    m_problem = problem;
    m_error = error;
    return false;
}

} // namespace fortune
