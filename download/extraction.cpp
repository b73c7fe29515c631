#include "extraction.h"

#include "fortunelist.h"

#include <QStringDecoder>

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

bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'
           || c == '.' || c == ':';
}

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
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '"' || text[i] == '\''))
            ++i;
        qsizetype end = i;
        while (end < text.size() && isTokenChar(text[end]))
            ++end;
        if (end > i)
            return text.sliced(i, end - i).toByteArray();
    }
    return {};
}

// Windows-1252's characters for bytes 0x80 to 0x9F; the rest of the set agrees
// with Latin-1, and the five unassigned bytes are kept as the C1 controls.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

QString decodeWindows1252(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        *out++ = QChar(u >= 0x80 && u < 0xA0 ? kCp1252High[u - 0x80] : char16_t(u));
    }
    return text;
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

QString decodeText(QByteArrayView bytes, QByteArrayView charset)
{
    const QByteArray name = charset.toByteArray().toLower();
    // Pages that say Latin-1 or ASCII are in practice Windows-1252, which
    // browsers use for all three; it differs only where Latin-1 has controls.
    if (name == "windows-1252" || name == "cp1252" || name == "x-cp1252" || name == "iso-8859-1"
        || name == "iso8859-1" || name == "latin1" || name == "latin-1" || name == "l1" || name == "us-ascii"
        || name == "ascii" || name == "iso_8859-1")
        return decodeWindows1252(bytes);
    if (name == "utf-16" || name == "utf-16le" || name == "utf-16be") {
        QStringDecoder decoder(name.constData());
        if (decoder.isValid()) {
            QString text = decoder.decode(bytes);
            if (!decoder.hasError())
                return text;
        }
    }
    // UTF-8, declared or not: trust it only when the bytes are valid UTF-8.
    return bytes.isValidUtf8() ? QString::fromUtf8(bytes) : decodeWindows1252(bytes);
}

std::optional<QString> extractFortune(QByteArrayView body, QByteArrayView contentType)
{
    const std::optional<QByteArray> cut = cutFortune(body);
    if (!cut)
        return std::nullopt;
    QByteArray charset = charsetOfContentType(contentType);
    if (charset.isEmpty())
        charset = charsetOfPage(body);
    return decodeText(convertBreaks(*cut), charset);
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
