#include "fortunesformat.h"

#include <QDir>

namespace fortune {

TextEncoding encodingOf(QByteArrayView head)
{
    if (head.startsWith(kUtf8Mark))
        return {TextEncoding::Kind::Utf8, kUtf8Mark.size()};
    if (head.startsWith(kUtf16LEMark))
        return {TextEncoding::Kind::Utf16LE, kUtf16LEMark.size()};
    if (head.startsWith(kUtf16BEMark))
        return {TextEncoding::Kind::Utf16BE, kUtf16BEMark.size()};
    return {};
}

bool isSeparatorLine(QByteArrayView line)
{
    if (line.endsWith('\r'))
        line.chop(1);
    return line == kSeparator;
}

bool holdsSeparatorLine(QByteArrayView text)
{
    bool inside = false;
    forEachWrittenLine(text, [&](QByteArrayView line) { inside |= line == kSeparator; });
    return inside;
}

QByteArray recordForm(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size() + 2 + 2 * text.count('\n'));
    forEachWrittenLine(text, [&](QByteArrayView line) {
        out.append(line);
        out.append(kCrLf);
    });
    return out;
}

QString separatorLineReason()
{
    return QStringLiteral("a line of it is exactly the record separator \"%1\", which would split it in two in "
                          "the fortunes file").arg(QString::fromLatin1(kSeparator));
}

bool appendRecordBytes(QByteArray &out, QByteArrayView text)
{
    if (holdsSeparatorLine(text))
        return false;
    out.append(text);
    out.append(kCrLf);
    out.append(kSeparator);
    out.append(kCrLf);
    return true;
}

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
    case FileProblem::NoMemory:
        reason = QStringLiteral("there is not enough memory to hold it");
        break;
    case FileProblem::Locked:
        reason = QStringLiteral("another program keeps it locked (a second window downloading, or an import?)");
        break;
    }
    if (reason.endsWith(u'.'))
        reason.chop(1);
    const QString shown = shownPath(path);
    return access == FileAccess::Read
               ? QStringLiteral("Could not read the fortunes file \"%1\": %2.").arg(shown, reason)
               : QStringLiteral("Could not write to the fortunes file \"%1\": %2.").arg(shown, reason);
}

} // namespace fortune
