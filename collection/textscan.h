#pragma once

// Byte-level helpers behind the search and the UTF-8 test. Internal to the
// collection library.

#include <QByteArrayView>
#include <QChar>

#include <functional>
#include <vector>

namespace fortune {

// Decodes one well-formed UTF-8 sequence at p (never reading at or past end).
// Returns its length, or 0 when the bytes there are not well-formed UTF-8.
inline int decodeUtf8(const uchar *p, const uchar *end, char32_t &cp)
{
    const uchar b0 = p[0];
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    const qsizetype avail = end - p;
    if (b0 < 0xC2)
        return 0;
    if (b0 < 0xE0) {
        if (avail < 2 || (p[1] & 0xC0) != 0x80)
            return 0;
        cp = (char32_t(b0 & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (b0 < 0xF0) {
        if (avail < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80)
            return 0;
        if ((b0 == 0xE0 && p[1] < 0xA0) || (b0 == 0xED && p[1] >= 0xA0))
            return 0; // overlong, or a surrogate
        cp = (char32_t(b0 & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        return 3;
    }
    if (b0 < 0xF5) {
        if (avail < 4 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80)
            return 0;
        if ((b0 == 0xF0 && p[1] < 0x90) || (b0 == 0xF4 && p[1] >= 0x90))
            return 0; // overlong, or beyond U+10FFFF
        cp = (char32_t(b0 & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) | (char32_t(p[2] & 0x3F) << 6)
            | (p[3] & 0x3F);
        return 4;
    }
    return 0;
}

// Unicode simple case folding: one code point to one code point.
inline char32_t foldCase(char32_t cp)
{
    if (cp < 0x80)
        return (cp - U'A' < 26u) ? cp + 32 : cp;
    return QChar::toCaseFolded(cp);
}

// Finds, record by record, whether a case-folded term occurs in a store of
// UTF-8 records laid out back to back. A cheap vector test on one or two
// bytes of the term's case variants picks candidate positions; each candidate
// is then checked exactly by decoding and folding.
class TermScanner {
public:
    TermScanner(const std::vector<char32_t> &folded, QByteArrayView haystack);

    // Calls onHit(record) once for every record from first to last - 1 that
    // holds the term (a match must lie inside one record). ends[i] is one past
    // the last byte of record i; haystack holds the records (the same bytes
    // as given to the constructor, perhaps moved since).
    void run(QByteArrayView haystack, const std::vector<qsizetype> &ends, qsizetype first, qsizetype last,
             const std::function<void(qsizetype)> &onHit);

    struct ByteSet {
        bool member[256] = {};
        uchar values[8] = {};
        int size = 0;
        bool masked = false; // (byte | orMask) == value tests the whole set
        uchar orMask = 0;
        uchar value = 0;
    };

private:
    bool verify(qsizetype at, qsizetype &matchBegin, qsizetype &matchEnd) const;
    template <bool Masked1, bool Masked2, typename TryAt>
    qsizetype vectorScan(qsizetype p, qsizetype end, const TryAt &tryAt) const;

    std::vector<char32_t> m_folded;
    const uchar *m_data;
    qsizetype m_size;
    // Candidate test: the run of term characters starting at m_runChar begins
    // at position p when byte p + m_off1 is in m_set1 and p + m_off2 in m_set2.
    qsizetype m_runChar = 0;
    qsizetype m_off1 = 0;
    qsizetype m_off2 = 0;
    ByteSet m_set1;
    ByteSet m_set2;
};

} // namespace fortune
