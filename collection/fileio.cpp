#include "fileio.h"

#include <QDeadlineTimer>
#include <QDir>

#include <algorithm>
#include <chrono>
#include <thread>

namespace fortune {

QString shownPath(const QString &path)
{
    const QString native = QDir::toNativeSeparators(path);
    const char32_t separator = QDir::separator().unicode();
    QString shown;
    shown.reserve(native.size());
    for (const char32_t c : native.toUcs4()) {
        if (c == U'"' || (c == U'\\' && c != separator)) {
            shown += u'\\';
            shown += QChar(c);
        } else if (c == U'\n' || c == U'\r' || c == U'\t') {
            shown += c == U'\n' ? u"\\n" : c == U'\r' ? u"\\r" : u"\\t";
        } else if (QChar::isPrint(c) || c == U' ') {
            shown += QString::fromUcs4(&c, 1);
        } else {
            shown += c < 0x80      ? QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'))
                     : c < 0x10000 ? QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'))
                                   : QStringLiteral("\\U%1").arg(uint(c), 8, 16, QLatin1Char('0'));
        }
    }
    return shown;
}

QString fileMessage(FileAccess access, FileProblem problem, const QString &path, const QString &detail)
{
    QString reason;
    switch (problem) {
    case FileProblem::None:
    case FileProblem::Failed:
        reason = detail.isEmpty() ? QStringLiteral("unknown error") : detail;
        break;
    case FileProblem::Missing:
        reason = access == FileAccess::Read ? QStringLiteral("it does not exist")
                                            : QStringLiteral("its folder does not exist");
        break;
    case FileProblem::Folder:
        reason = QStringLiteral("it is a folder, not a file");
        break;
    case FileProblem::NotRegular:
        reason = QStringLiteral("it is not a regular file but a pipe, a socket or a device");
        break;
    case FileProblem::NoPermission:
        reason = QStringLiteral("permission denied");
        break;
    case FileProblem::Utf16:
        reason = QStringLiteral("it is saved as UTF-16, and new fortunes are only written to UTF-8 files "
                                "(save it as UTF-8 to store into it)");
        break;
    }
    if (reason.endsWith(u'.'))
        reason.chop(1);
    const QString shown = shownPath(path);
    return access == FileAccess::Read
               ? QStringLiteral("Could not read the fortunes file \"%1\": %2.").arg(shown, reason)
               : QStringLiteral("Could not write to the fortunes file \"%1\": %2.").arg(shown, reason);
}

TextEncoding encodingOf(QByteArrayView head)
{
    if (head.startsWith("\xEF\xBB\xBF"))
        return {TextEncoding::Kind::Utf8, 3};
    if (head.startsWith("\xFF\xFE"))
        return {TextEncoding::Kind::Utf16LE, 2};
    if (head.startsWith("\xFE\xFF"))
        return {TextEncoding::Kind::Utf16BE, 2};
    return {};
}

TextEncoding encodingOf(OpenFile &file)
{
    char head[3] = {};
    const qint64 got = file.readAt(0, head, sizeof head);
    return encodingOf(QByteArrayView(head, std::max<qint64>(got, 0)));
}

bool OpenFile::lock()
{
    // Another writer of this program holds it only while it writes one
    // record, so the first try nearly always succeeds. Otherwise look again
    // every millisecond, for three seconds at most.
    const QDeadlineTimer deadline(std::chrono::seconds(3));
    for (;;) {
        const LockTry got = tryLock();
        if (got != LockTry::Busy)
            return true; // where there are no locks, go on as before there were any
        if (deadline.hasExpired()) {
            return fail(FileProblem::Failed,
                        QStringLiteral("another program keeps it locked (is a second window downloading?)"));
        }
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
