#include "extraction.h"

#include "httptoken.h"
#include "textdecoding.h"

#include <algorithm>

namespace fortune {

bool isEndOfPage(QByteArrayView buffer)
{
    const QByteArrayView last8 = buffer.last(std::min<qsizetype>(8, buffer.size()));
    return last8.first(std::min<qsizetype>(7, last8.size())) == QByteArrayView("</html>");
}

std::optional<QByteArray> cutFortune(QByteArrayView page)
{
    const qsizetype marker = page.indexOf(kTableMarker);
    if (marker < 0)
        return std::nullopt;
    const qsizetype start = marker + kStartOffset;
    if (start > page.size())
        return std::nullopt;
    const qsizetype end = page.indexOf(kEndMarker, start);
    if (end < 0)
        return std::nullopt;
    return page.sliced(start, end - start).toByteArray();
}

QByteArray convertBreaks(QByteArrayView cut)
{
    QByteArray converted;
    converted.reserve(cut.size());
    const qsizetype limit = cut.size() - 4; // the last four characters are never copied
    qsizetype i = 0;
    while (i < limit) {
        if (cut.sliced(i, 4) == kBreakTag) {
            converted += "\r\n";
            i += 4;
        } else {
            converted += cut[i];
            i += 1;
        }
    }
    return converted;
}

namespace {

// The charset=VALUE parameter in text (already lower-cased), from position from.
QByteArray charsetParameter(QByteArrayView text, qsizetype from = 0)
{
    for (qsizetype at = text.indexOf("charset", from); at >= 0; at = text.indexOf("charset", at + 1)) {
        qsizetype i = at + 7;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        if (i >= text.size() || text[i] != '=')
            continue;
        ++i;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        // A quoted value ends at its quote; so does one in a page's attribute
        // written in single quotes (content='text/html; charset=utf-8').
        const char quote = i < text.size() && (text[i] == '"' || text[i] == '\'') ? text[i++] : '\'';
        qsizetype end = i;
        while (end < text.size() && text[end] != quote && isTokenChar(text[end]))
            ++end;
        if (end > i)
            return text.sliced(i, end - i).toByteArray();
    }
    return {};
}

} // namespace

QByteArray charsetOfContentType(QByteArrayView contentType)
{
    return charsetParameter(contentType.toByteArray().toLower());
}

QByteArray charsetOfPage(QByteArrayView page)
{
    // The declaration belongs in the head; do not lower-case a whole 8 MiB page for it.
    const QByteArray head = page.first(std::min<qsizetype>(page.size(), 64 * 1024)).toByteArray().toLower();
    for (qsizetype meta = head.indexOf("<meta"); meta >= 0; meta = head.indexOf("<meta", meta + 5)) {
        const qsizetype close = head.indexOf('>', meta);
        const QByteArrayView tag = QByteArrayView(head).sliced(meta, (close < 0 ? head.size() : close) - meta);
        const QByteArray charset = charsetParameter(tag);
        if (!charset.isEmpty())
            return charset;
    }
    return {};
}

PageFortune extractFortune(QByteArrayView body, QByteArrayView contentType)
{
    const std::optional<QByteArray> cut = cutFortune(body);
    if (!cut)
        return {};
    // NUL bytes elsewhere in the page are none of the fortune's business.
    if (cut->contains('\0'))
        return {std::nullopt, QStringLiteral("it holds NUL bytes, it is not text")};
    QByteArray charset = charsetOfContentType(contentType);
    if (charset.isEmpty())
        charset = charsetOfPage(body);
    PageFortune fortune;
    fortune.text = decodeCharset(convertBreaks(*cut), charset, &fortune.unreadable);
    return fortune;
}

QByteArray testCut(QByteArrayView buffer)
{
    // Without a marker the start is position 130 counted from 1, that is index 129.
    const qsizetype marker = buffer.indexOf(kTableMarker);
    const qsizetype start = marker < 0 ? kStartOffset - 1 : marker + kStartOffset;
    if (start >= buffer.size())
        return {};
    return buffer.sliced(start, std::min(kTestCutLength, buffer.size() - start)).toByteArray();
}

QByteArray testConversion(QByteArrayView cut)
{
    QByteArray converted;
    qsizetype i = 0;
    while (i < cut.size()) {
        const QByteArrayView window = cut.sliced(i, std::min<qsizetype>(4, cut.size() - i));
        if (window == kBreakTag) {
            converted += "\r\n";
            i += 5;
        } else {
            converted += window;
            i += 1;
        }
    }
    return converted;
}

QString testExtraction(QByteArrayView buffer)
{
    return decodeFortune(testConversion(testCut(buffer)));
}

} // namespace fortune
