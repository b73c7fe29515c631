#include "fortunesreader.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QStringDecoder>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

Q_LOGGING_CATEGORY(lcCollection, "fortune.collection", QtWarningMsg)

namespace fortune {

namespace {

constexpr qsizetype kSepLen = kSeparator.size();
constexpr qsizetype kChunk = 512 * 1024; // fits the L2 cache next to the store's tail
constexpr qsizetype kPad = 64;
constexpr int kProgressEveryRecords = 1024;
constexpr qint64 kProgressIntervalMs = 40;

// 64 bytes at p as a bit mask of their LF bytes.
inline quint64 lineFeeds64(const char *p)
{
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    quint64 m = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k));
        m |= quint64(quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))) << (16 * k);
    }
    return m;
#else
    quint64 m = 0;
    for (int k = 0; k < 64; ++k)
        m |= quint64(p[k] == '\n') << k;
    return m;
#endif
}

} // namespace

// Reads a file in chunks straight into the list (a bulk append). Lines that
// already end in CR LF are copied as they are; a lone LF becomes CR LF.
class FortunesReader {
public:
    FortunesReader(FortuneList &list, const LoadProgress &progress)
        : m_list(list), m_bulk(list), m_progress(progress)
    {
    }

    // Reads the records of file bytes [from, to) (to < 0: up to the end),
    // after what the list holds. With enough > 0 it may stop once the records
    // read reach that many bytes past from.
    RecordScan read(OpenFile &file, qint64 from, qint64 to, qint64 enough);

private:
    enum class Step { More, Full, Failed };

    bool decodeUtf16(OpenFile &file, TextEncoding encoding, qint64 from);
    qint64 fill(OpenFile &file, char *data, qint64 max);
    Step readAll(OpenFile &file, qint64 expected, qint64 enough);
    Step processLines(const char *buf, qsizetype last);
    bool lastLine(const char *buf, qsizetype length);
    void append(const char *p, qsizetype n) { m_bulk.append(p, n); }
    bool closeRecord(qsizetype separatorAt);

    FortuneList &m_list;
    FortuneList::Bulk m_bulk;
    const LoadProgress &m_progress;
    QElapsedTimer m_clock;
    int m_sinceClock = 0;

    qint64 m_from = 0;     // where reading began
    qint64 m_pos = 0;      // next byte to read from the source
    qint64 m_to = -1;      // end of the source, or -1: the end of the file
    qint64 m_base = 0;     // source offset of the chunk buffer's first byte
    QByteArray m_decoded;  // the text of a UTF-16 file, as UTF-8
    bool m_fromMemory = false;
    FileProblem m_problem = FileProblem::Failed;
    QString m_error;
    RecordScan m_scan;
};

bool FortunesReader::closeRecord(qsizetype separatorAt)
{
    if (!m_bulk.close())
        return false;
    if (m_scan.firstSeparatorAt < 0)
        m_scan.firstSeparatorAt = m_base + separatorAt;
    m_scan.lastSeparatorAt = m_base + separatorAt;
    if (++m_sinceClock >= kProgressEveryRecords) {
        m_sinceClock = 0;
        // The first block is shown at once, so even a fast load is seen to
        // rise; after that a few dozen milliseconds apart.
        if (m_progress && (!m_clock.isValid() || m_clock.elapsed() >= kProgressIntervalMs)) {
            m_progress(m_list.count());
            m_clock.start();
        }
    }
    return true;
}

// buf[0] starts a line, buf[last] is an LF and the last one in the buffer.
// Stores every record that closes in buf[0..last] and appends the rest.
FortunesReader::Step FortunesReader::processLines(const char *buf, qsizetype last)
{
    qsizetype copyFrom = 0;
    qsizetype lf = 0;
    if (separatorLineAt(buf, lf)) {
        if (!closeRecord(0))
            return Step::Full;
        copyFrom = lf + 1;
    }
    for (qsizetype block = 0; block <= last; block += 64) {
        quint64 mask = lineFeeds64(buf + block);
        if (last - block < 63)
            mask &= ~quint64(0) >> (63 - (last - block));
        while (mask != 0) {
            const qsizetype e = block + std::countr_zero(mask);
            mask &= mask - 1;
            // e < copyFrom: the LF of a separator line, already dealt with.
            if (e >= copyFrom && buf[e - 1] != '\r') {
                append(buf + copyFrom, e - copyFrom);
                append(kCrLf.data(), 2);
                copyFrom = e + 1;
            }
            if (e < last && buf[e + 1] == '|' && separatorLineAt(buf + e + 1, lf)) {
                append(buf + copyFrom, e + 1 - copyFrom);
                if (!closeRecord(e + 1))
                    return Step::Full;
                copyFrom = e + 1 + lf + 1;
            }
        }
    }
    if (copyFrom <= last)
        append(buf + copyFrom, last + 1 - copyFrom);
    return Step::More;
}

// The end of the source ends the last line; a CR right before it goes too.
// False when the list is full.
bool FortunesReader::lastLine(const char *buf, qsizetype length)
{
    if (isSeparatorLine(QByteArrayView(buf, length)))
        return closeRecord(0);
    return true;
}

// A UTF-16 file is read as UTF-8 text made from the whole file at once: such
// files come from editors and are small next to the collections this reader
// is tuned for.
bool FortunesReader::decodeUtf16(OpenFile &file, TextEncoding encoding, qint64 from)
{
    const qint64 size = file.size();
    QByteArray raw(qsizetype(std::max<qint64>(0, size - from)), Qt::Uninitialized);
    const qint64 got = file.readAt(from, raw.data(), raw.size());
    if (got < 0 || size < 0) {
        m_error = file.errorString();
        return false;
    }
    raw.truncate(qsizetype(got));
    QStringDecoder decoder(encoding.kind == TextEncoding::Kind::Utf16LE ? QStringConverter::Utf16LE
                                                                        : QStringConverter::Utf16BE);
    m_decoded = QString(decoder(raw)).toUtf8();
    m_fromMemory = true;
    m_pos = m_base = 0;
    m_to = m_decoded.size();
    return true;
}

qint64 FortunesReader::fill(OpenFile &file, char *data, qint64 max)
{
    if (m_to >= 0)
        max = std::min(max, m_to - m_pos);
    if (max <= 0)
        return 0;
    qint64 got = max;
    if (m_fromMemory)
        std::memcpy(data, m_decoded.constData() + m_pos, size_t(max));
    else if ((got = file.readAt(m_pos, data, max)) < 0)
        m_error = file.errorString();
    m_pos += std::max<qint64>(got, 0);
    return got;
}

FortunesReader::Step FortunesReader::readAll(OpenFile &file, qint64 expected, qint64 enough)
{
    qsizetype capacity = qsizetype(std::clamp<qint64>(expected + 1, 4096, kChunk));
    std::vector<char> storage(size_t(capacity + 2 * kPad), 0);
    char *buf = storage.data() + kPad;
    buf[-1] = '\n'; // buf[0] always starts a line
    qsizetype have = 0;
    for (;;) {
        const qint64 got = fill(file, buf + have, capacity - have);
        if (got < 0)
            return Step::Failed;
        if (got == 0)
            return lastLine(buf, have) ? Step::More : Step::Full;
        const qsizetype filled = have + qsizetype(got);
        const qsizetype last = QByteArrayView(buf, filled).lastIndexOf('\n');
        if (last < 0) {
            have = filled;
            if (have == capacity) { // one very long line: make room for more of it
                capacity *= 2;
                std::vector<char> bigger(size_t(capacity + 2 * kPad), 0);
                std::memcpy(bigger.data() + kPad, buf, size_t(have));
                storage.swap(bigger);
                buf = storage.data() + kPad;
                buf[-1] = '\n';
            }
            continue;
        }
        std::memset(buf + filled, 0, size_t(kPad)); // the scan reads a little past the data
        if (processLines(buf, last) == Step::Full)
            return Step::Full;
        have = filled - (last + 1);
        std::memmove(buf, buf + last + 1, size_t(have));
        m_base += last + 1;
        if (enough > 0 && m_scan.lastSeparatorAt - m_from >= enough)
            return Step::More;
    }
}

RecordScan FortunesReader::read(OpenFile &file, qint64 from, qint64 to, qint64 enough)
{
    LoadResult &result = m_scan.result;
    const auto failed = [&] {
        result.outcome = LoadResult::Outcome::Failed;
        result.error = fileMessage(FileAccess::Read, m_problem, file.path(), m_error);
        return m_scan;
    };
    const TextEncoding encoding = from == 0 ? encodingOf(file) : TextEncoding{};
    m_from = m_pos = m_base = std::max(from, encoding.markSize);
    m_to = to;

    const qsizetype before = m_list.count();
    Step step = Step::More;
    try {
        if (encoding.kind != TextEncoding::Kind::Utf8 && !decodeUtf16(file, encoding, m_from))
            return failed();
        // The text of a file is at most its size (separators are dropped), bar
        // lone LFs that become CR LF.
        const qint64 expected = std::max<qint64>(0, (m_to >= 0 ? m_to : file.size()) - m_pos);
        m_bulk.reserve(qsizetype(expected), qsizetype(expected / kSepLen + 1));
        step = readAll(file, expected, enough);
    } catch (const std::bad_alloc &) {
        m_problem = FileProblem::NoMemory;
        step = Step::Failed;
    }
    if (step == Step::Failed) {
        m_bulk.abandon();
        return failed();
    }

    // Stray lines belong to no record.
    m_bulk.finish();
    result.stored = m_list.count() - before;
    if (m_progress)
        m_progress(m_list.count());
    if (step == Step::Full) {
        result.outcome = LoadResult::Outcome::Full;
        result.error = listFullMessage(file.path());
    }
    return m_scan;
}

RecordScan scanRecords(OpenFile &file, qint64 from, qint64 to, qint64 enough, FortuneList &list)
{
    return FortunesReader(list, {}).read(file, from, to, enough);
}

LoadResult loadFortunesFile(const QString &path, FortuneList &list, const LoadProgress &progress)
{
    OpenFile file;
    if (!file.open(path, OpenFile::Mode::Read)) {
        LoadResult result;
        result.outcome = file.problem() == FileProblem::Missing ? LoadResult::Outcome::Missing
                                                                 : LoadResult::Outcome::Failed;
        result.error = file.message(FileAccess::Read);
        return result;
    }
    const LoadResult result = FortunesReader(list, progress).read(file, 0, -1, 0).result;
    qCDebug(lcCollection) << "loaded" << result.stored << "fortunes from" << path;
    return result;
}

} // namespace fortune
