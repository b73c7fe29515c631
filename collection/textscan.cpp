#include "textscan.h"

#include <algorithm>
#include <bit>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace fortune {

namespace {

struct Variant {
    uchar bytes[4] = {};
    int length = 0;
};

Variant encodeUtf8(char32_t cp)
{
    Variant v;
    if (cp < 0x80) {
        v.bytes[0] = uchar(cp);
        v.length = 1;
    } else if (cp < 0x800) {
        v.bytes[0] = uchar(0xC0 | (cp >> 6));
        v.bytes[1] = uchar(0x80 | (cp & 0x3F));
        v.length = 2;
    } else if (cp < 0x10000) {
        v.bytes[0] = uchar(0xE0 | (cp >> 12));
        v.bytes[1] = uchar(0x80 | ((cp >> 6) & 0x3F));
        v.bytes[2] = uchar(0x80 | (cp & 0x3F));
        v.length = 3;
    } else {
        v.bytes[0] = uchar(0xF0 | (cp >> 18));
        v.bytes[1] = uchar(0x80 | ((cp >> 12) & 0x3F));
        v.bytes[2] = uchar(0x80 | ((cp >> 6) & 0x3F));
        v.bytes[3] = uchar(0x80 | (cp & 0x3F));
        v.length = 4;
    }
    return v;
}

// Every (folded, original) pair where folding changes the code point. Case
// pairs exist only in the first two planes.
const std::vector<std::pair<char32_t, char32_t>> &foldPairs()
{
    static const std::vector<std::pair<char32_t, char32_t>> pairs = [] {
        std::vector<std::pair<char32_t, char32_t>> v;
        for (char32_t c = 0; c < 0x20000; ++c) {
            if (c >= 0xD800 && c < 0xE000)
                continue;
            const char32_t f = foldCase(c);
            if (f != c)
                v.emplace_back(f, c);
        }
        std::sort(v.begin(), v.end());
        return v;
    }();
    return pairs;
}

// All code points whose folded form is f, encoded as UTF-8.
std::vector<Variant> variantsOf(char32_t f)
{
    std::vector<Variant> out;
    if (foldCase(f) == f)
        out.push_back(encodeUtf8(f));
    const auto &pairs = foldPairs();
    auto it = std::lower_bound(pairs.begin(), pairs.end(), std::make_pair(f, char32_t(0)));
    for (; it != pairs.end() && it->first == f; ++it)
        out.push_back(encodeUtf8(it->second));
    return out;
}

TermScanner::ByteSet makeSet(const std::vector<uchar> &bytes)
{
    TermScanner::ByteSet s;
    for (const uchar b : bytes) {
        if (s.member[b])
            continue;
        s.member[b] = true;
        if (s.size < 8)
            s.values[s.size] = b;
        ++s.size;
    }
    if (s.size == 1) {
        s.masked = true;
        s.value = s.values[0];
    } else if (s.size == 2 && std::popcount(unsigned(s.values[0] ^ s.values[1])) == 1) {
        s.masked = true;
        s.orMask = s.values[0] ^ s.values[1];
        s.value = s.values[0] | s.orMask;
    }
    return s;
}

constexpr int kVectorSetMax = 4;

// How common each byte is in a store, from a few spread-out samples.
constexpr qsizetype kSample = 4096;
constexpr int kSamples = 16;

std::vector<quint64> byteFrequencies(const uchar *data, qsizetype size)
{
    std::vector<quint64> freq(256, 1);
    if (size <= kSample * kSamples) {
        for (qsizetype i = 0; i < size; ++i)
            ++freq[data[i]];
    } else {
        const qsizetype step = (size - kSample) / (kSamples - 1);
        for (int s = 0; s < kSamples; ++s)
            for (qsizetype i = 0; i < kSample; ++i)
                ++freq[data[s * step + i]];
    }
    return freq;
}

// A byte position of the term, the bytes its case variants have there, and
// how often those occur.
struct Position {
    qsizetype offset;
    TermScanner::ByteSet set;
    double weight;
};

// The positions of the run of term characters starting at folded[start]
// whose case variants all have one UTF-8 length: inside such a run every
// byte sits at a fixed offset from the run's start, so two rare bytes can be
// tested together. A character whose variants differ in length ends a run;
// only its lead byte is fixed. next: where the next run starts.
std::vector<Position> runPositions(const std::vector<char32_t> &folded, qsizetype start,
                                   const std::vector<quint64> &freq, qsizetype &next)
{
    std::vector<Position> positions;
    qsizetype offset = 0;
    for (next = start; next < qsizetype(folded.size());) {
        const std::vector<Variant> vars = variantsOf(folded[size_t(next)]);
        bool uniform = !vars.empty();
        for (const Variant &v : vars)
            uniform = uniform && v.length == vars.front().length;
        const int bytes = uniform ? vars.front().length : 1;
        for (int j = 0; j < bytes && !vars.empty(); ++j) {
            std::vector<uchar> values;
            for (const Variant &v : vars)
                values.push_back(v.bytes[j]);
            Position pos{offset + j, makeSet(values), 0.0};
            quint64 hits = 1;
            for (int b = 0; b < 256; ++b)
                hits += pos.set.member[b] ? freq[size_t(b)] : 0;
            pos.weight = double(hits) / double(kSample * kSamples + 256);
            positions.push_back(pos);
        }
        ++next;
        if (!uniform)
            break;
        offset += bytes;
    }
    return positions;
}

} // namespace

// The candidate test: the cheapest single position or pair of positions of
// one run, a pair weighing the product of its bytes' frequencies.
TermScanner::TermScanner(const std::vector<char32_t> &folded, QByteArrayView haystack)
    : m_folded(folded)
    , m_data(reinterpret_cast<const uchar *>(haystack.data()))
    , m_size(haystack.size())
{
    const std::vector<quint64> freq = byteFrequencies(m_data, m_size);
    double bestCost = 1e300;
    for (qsizetype start = 0, next = 0; start < qsizetype(m_folded.size()); start = next) {
        const std::vector<Position> positions = runPositions(m_folded, start, freq, next);
        for (size_t i = 0; i < positions.size(); ++i) {
            for (size_t j = i; j < positions.size(); ++j) {
                const Position &a = positions[i];
                const Position &b = positions[j];
                const bool vector = a.set.size <= kVectorSetMax && b.set.size <= kVectorSetMax;
                const double cost = (i == j ? a.weight : a.weight * b.weight) * (vector ? 1.0 : 8.0);
                if (cost < bestCost) {
                    bestCost = cost;
                    m_runChar = start;
                    m_off1 = a.offset;
                    m_set1 = a.set;
                    m_off2 = b.offset;
                    m_set2 = b.set;
                }
            }
        }
    }
}

bool TermScanner::verify(qsizetype at, qsizetype &matchBegin, qsizetype &matchEnd) const
{
    const uchar *end = m_data + m_size;
    qsizetype pos = at;
    for (size_t k = size_t(m_runChar); k < m_folded.size(); ++k) {
        if (pos >= m_size)
            return false;
        char32_t cp;
        const int len = decodeUtf8(m_data + pos, end, cp);
        if (len == 0 || foldCase(cp) != m_folded[k])
            return false;
        pos += len;
    }
    matchEnd = pos;
    pos = at;
    for (qsizetype k = m_runChar - 1; k >= 0; --k) {
        if (pos == 0)
            return false;
        qsizetype lead = pos - 1;
        while (lead > 0 && pos - lead < 4 && (m_data[lead] & 0xC0) == 0x80)
            --lead;
        char32_t cp;
        const int len = decodeUtf8(m_data + lead, m_data + pos, cp);
        if (len != pos - lead || foldCase(cp) != m_folded[size_t(k)])
            return false;
        pos = lead;
    }
    matchBegin = pos;
    return true;
}

namespace {

#if defined(__SSE2__)
struct VectorSet {
    __m128i orMask, value, v0, v1, v2, v3;

    explicit VectorSet(const TermScanner::ByteSet &s)
    {
        orMask = _mm_set1_epi8(char(s.orMask));
        value = _mm_set1_epi8(char(s.value));
        const int top = std::clamp(s.size - 1, 0, 7);
        const auto at = [&](int i) { return _mm_set1_epi8(char(s.values[std::min(i, top)])); };
        v0 = at(0);
        v1 = at(1);
        v2 = at(2);
        v3 = at(3);
    }

    template <bool Masked>
    __m128i match(__m128i x) const
    {
        if constexpr (Masked) {
            return _mm_cmpeq_epi8(_mm_or_si128(x, orMask), value);
        } else {
            return _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, v0), _mm_cmpeq_epi8(x, v1)),
                                _mm_or_si128(_mm_cmpeq_epi8(x, v2), _mm_cmpeq_epi8(x, v3)));
        }
    }
};
#endif

} // namespace

#if defined(__SSE2__)
// Tests 32 positions at a time from p on, calling tryAt at each candidate;
// returns where fewer than 32 are left before end.
template <bool Masked1, bool Masked2, typename TryAt>
qsizetype TermScanner::vectorScan(qsizetype p, qsizetype end, const TryAt &tryAt) const
{
    const VectorSet s1(m_set1), s2(m_set2);
    const uchar *base1 = m_data + m_off1;
    const uchar *base2 = m_data + m_off2;
    const auto load = [](const uchar *q) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(q)); };
    while (p + 32 <= end) {
        const __m128i a = _mm_and_si128(s1.match<Masked1>(load(base1 + p)), s2.match<Masked2>(load(base2 + p)));
        const __m128i b = _mm_and_si128(s1.match<Masked1>(load(base1 + p + 16)),
                                        s2.match<Masked2>(load(base2 + p + 16)));
        quint32 mask = quint32(_mm_movemask_epi8(a)) | (quint32(_mm_movemask_epi8(b)) << 16);
        qsizetype next = p + 32;
        while (mask != 0) {
            const qsizetype at = p + std::countr_zero(mask);
            mask &= mask - 1;
            const qsizetype resume = tryAt(at);
            if (resume >= 0) {
                next = resume;
                break;
            }
        }
        p = next;
    }
    return p;
}
#endif

namespace {

// The records' side of a scan: which record a match lies in.
class RecordWalk {
public:
    RecordWalk(const std::vector<qsizetype> &ends, qsizetype first, qsizetype last,
               const std::function<void(qsizetype)> &onHit)
        : m_ends(ends), m_records(last), m_hint(first), m_onHit(onHit)
    {
    }

    // For a match [begin, end): tells onHit its record and returns where
    // scanning goes on (the start of the next record), or -1 to go on
    // normally when no record holds the match whole.
    qsizetype hit(qsizetype begin, qsizetype end)
    {
        qsizetype r = m_hint;
        for (int steps = 0; r < m_records && m_ends[size_t(r)] <= begin && steps < 16; ++steps)
            ++r;
        if (r < m_records && m_ends[size_t(r)] <= begin)
            r = std::upper_bound(m_ends.begin() + r, m_ends.end(), begin) - m_ends.begin();
        if (r >= m_records)
            return -1;
        m_hint = r;
        const qsizetype recordBegin = r == 0 ? 0 : m_ends[size_t(r - 1)];
        if (begin < recordBegin || end > m_ends[size_t(r)])
            return -1; // spans a record boundary
        m_onHit(r);
        return m_ends[size_t(r)];
    }

private:
    const std::vector<qsizetype> &m_ends;
    const qsizetype m_records;
    qsizetype m_hint;
    const std::function<void(qsizetype)> &m_onHit;
};

} // namespace

void TermScanner::run(QByteArrayView haystack, const std::vector<qsizetype> &ends, qsizetype first, qsizetype last,
                      const std::function<void(qsizetype)> &onHit)
{
    if (m_folded.empty() || first >= last)
        return;
    m_data = reinterpret_cast<const uchar *>(haystack.data());
    m_size = ends[size_t(last - 1)];
    RecordWalk walk(ends, first, last, onHit);
    const auto tryAt = [&](qsizetype at) -> qsizetype {
        qsizetype begin = 0, end = 0;
        return verify(at, begin, end) ? walk.hit(begin, end) : -1;
    };
    const qsizetype end = m_size - std::max(m_off1, m_off2); // candidates lie in [p, end)
    qsizetype p = first == 0 ? 0 : ends[size_t(first - 1)];
#if defined(__SSE2__)
    if (m_set1.size <= kVectorSetMax && m_set2.size <= kVectorSetMax) {
        if (m_set1.masked && m_set2.masked)
            p = vectorScan<true, true>(p, end, tryAt);
        else if (m_set1.masked)
            p = vectorScan<true, false>(p, end, tryAt);
        else if (m_set2.masked)
            p = vectorScan<false, true>(p, end, tryAt);
        else
            p = vectorScan<false, false>(p, end, tryAt);
    }
#endif
    const bool *member1 = m_set1.member;
    const bool *member2 = m_set2.member;
    while (p < end) {
        if (member1[m_data[p + m_off1]] && member2[m_data[p + m_off2]]) {
            const qsizetype resume = tryAt(p);
            p = resume >= 0 ? resume : p + 1;
        } else {
            ++p;
        }
    }
}

} // namespace fortune
