#include "fortunesfile.h"

#include <QDir>
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
#if defined(Q_OS_LINUX)
#include <sys/mman.h>
#endif

Q_LOGGING_CATEGORY(lcCollection, "fortune.collection", QtWarningMsg)

namespace fortune {

namespace {

constexpr qsizetype kSepLen = 30;
static_assert(kSeparator.size() == kSepLen);
constexpr QByteArrayView kCrLf{"\r\n"};
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

// The store of a big file is filled once, front to back: with huge pages that
// costs a few hundred page faults instead of tens of thousands.
void adviseHugePages(void *data, qsizetype size)
{
#if defined(Q_OS_LINUX) && defined(MADV_HUGEPAGE)
    constexpr quintptr kHuge = 2 * 1024 * 1024;
    const quintptr begin = (quintptr(data) + kHuge - 1) & ~(kHuge - 1);
    const quintptr end = (quintptr(data) + quintptr(size)) & ~(kHuge - 1);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    Q_UNUSED(data);
    Q_UNUSED(size);
#endif
}

} // namespace

// Reads a file in chunks straight into the list's store: the bytes of the
// record being read go to the end of the store as they come, so a record costs
// one copy and a separator just fixes its end. Lines that already end in CR LF
// are copied as they are; a lone LF becomes CR LF.
class FortunesFileReader {
public:
    FortunesFileReader(FortuneList &list, const LoadProgress &progress)
        : m_list(list), m_progress(progress), m_write(list.m_store.size())
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
    bool separatorAt(const char *line, qsizetype &lineFeed) const;
    void append(const char *p, qsizetype n)
    {
        if (m_write + n > m_list.m_store.size()) {
            m_list.m_store.resize(std::max(m_write + n, 2 * m_list.m_store.size()));
            adviseHugePages(m_list.m_store.data(), m_list.m_store.size());
        }
        std::memcpy(m_list.m_store.data() + m_write, p, size_t(n));
        m_write += n;
    }
    bool closeRecord(qsizetype separatorAt);

    FortuneList &m_list;
    const LoadProgress &m_progress;
    qsizetype m_write; // end of the bytes written into the store so far
    QElapsedTimer m_clock;
    int m_sinceClock = 0;

    qint64 m_from = 0;     // where reading began
    qint64 m_pos = 0;      // next byte to read from the source
    qint64 m_to = -1;      // end of the source, or -1: the end of the file
    qint64 m_base = 0;     // source offset of the chunk buffer's first byte
    QByteArray m_decoded;  // the text of a UTF-16 file, as UTF-8
    bool m_fromMemory = false;
    QString m_error;
    RecordScan m_scan;
};

bool FortunesFileReader::closeRecord(qsizetype separatorAt)
{
    if (m_list.isFull())
        return false;
    m_list.m_ends.push_back(m_write);
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

// A separator line at line? Its LF (which must exist) goes to lineFeed.
bool FortunesFileReader::separatorAt(const char *line, qsizetype &lineFeed) const
{
    if (std::memcmp(line, kSeparator.data(), kSepLen) != 0)
        return false;
    if (line[kSepLen] == '\n') {
        lineFeed = kSepLen;
        return true;
    }
    if (line[kSepLen] == '\r' && line[kSepLen + 1] == '\n') {
        lineFeed = kSepLen + 1;
        return true;
    }
    return false;
}

// buf[0] starts a line, buf[last] is an LF and the last one in the buffer.
// Stores every record that closes in buf[0..last] and appends the rest.
FortunesFileReader::Step FortunesFileReader::processLines(const char *buf, qsizetype last)
{
    qsizetype copyFrom = 0;
    qsizetype lf = 0;
    if (separatorAt(buf, lf)) {
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
            if (e < last && buf[e + 1] == '|' && separatorAt(buf + e + 1, lf)) {
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
bool FortunesFileReader::lastLine(const char *buf, qsizetype length)
{
    if (length > 0 && buf[length - 1] == '\r')
        --length;
    if (length == kSepLen && std::memcmp(buf, kSeparator.data(), kSepLen) == 0)
        return closeRecord(0);
    return true;
}

// A UTF-16 file is read as UTF-8 text made from the whole file at once: such
// files come from editors and are small next to the collections this reader
// is tuned for.
bool FortunesFileReader::decodeUtf16(OpenFile &file, TextEncoding encoding, qint64 from)
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

qint64 FortunesFileReader::fill(OpenFile &file, char *data, qint64 max)
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

FortunesFileReader::Step FortunesFileReader::readAll(OpenFile &file, qint64 expected, qint64 enough)
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

RecordScan FortunesFileReader::read(OpenFile &file, qint64 from, qint64 to, qint64 enough)
{
    LoadResult &result = m_scan.result;
    const auto failed = [&](const QString &why) {
        result.outcome = LoadResult::Outcome::Failed;
        result.error = fileMessage(FileAccess::Read, FileProblem::Failed, file.path(), why);
        return m_scan;
    };
    const TextEncoding encoding = from == 0 ? encodingOf(file) : TextEncoding{};
    m_from = m_pos = m_base = std::max(from, encoding.markSize);
    m_to = to;

    const qsizetype before = m_list.count();
    const qsizetype storeBefore = m_list.m_store.size();
    Step step = Step::More;
    try {
        if (encoding.kind != TextEncoding::Kind::Utf8 && !decodeUtf16(file, encoding, m_from))
            return failed(m_error);
        // The text of a file is at most its size (separators are dropped), bar
        // lone LFs that become CR LF. Untouched reserve costs address space only.
        const qint64 expected = std::max<qint64>(0, (m_to >= 0 ? m_to : file.size()) - m_pos);
        m_list.m_store.resize(storeBefore + qsizetype(expected) + 64);
        m_list.m_ends.reserve(size_t(std::min<qint64>(kSlotCount, before + expected / kSepLen + 1)));
        adviseHugePages(m_list.m_store.data(), m_list.m_store.size());
        adviseHugePages(m_list.m_ends.data(), qsizetype(m_list.m_ends.capacity() * sizeof(qsizetype)));
        step = readAll(file, expected, enough);
    } catch (const std::bad_alloc &) {
        m_error = QStringLiteral("there is not enough memory to hold it");
        step = Step::Failed;
    }
    if (step == Step::Failed) {
        m_list.truncate(before);
        m_list.m_store.resize(storeBefore);
        return failed(m_error);
    }

    // Lines after the last separator belong to no record.
    m_list.m_store.resize(m_list.count() == 0 ? 0 : m_list.m_ends.back());
    m_list.recordsAdded(before);
    result.stored = m_list.count() - before;
    if (m_progress)
        m_progress(m_list.count());
    if (step == Step::Full) {
        result.outcome = LoadResult::Outcome::Full;
        result.error = QStringLiteral("The fortune list is full: it holds %1 fortunes, the most it can hold. "
                                      "Loading \"%2\" stopped there; the rest of the file was not loaded.")
                           .arg(kSlotCount)
                           .arg(shownPath(file.path()));
    }
    return m_scan;
}

RecordScan scanRecords(OpenFile &file, qint64 from, qint64 to, qint64 enough, FortuneList &list)
{
    return FortunesFileReader(list, {}).read(file, from, to, enough);
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
    const LoadResult result = FortunesFileReader(list, progress).read(file, 0, -1, 0).result;
    qCDebug(lcCollection) << "loaded" << result.stored << "fortunes from" << path;
    return result;
}

} // namespace fortune
