#include "fortunesreader.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QStringDecoder>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <optional>

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
// already end in CR LF are copied as they are; a lone LF becomes CR LF. Reads
// all at once, or piece by piece until a deadline, to be taken up again.
class FortunesReader {
public:
    FortunesReader(FortuneList &list, const LoadProgress &progress)
        : m_list(list), m_bulk(list), m_progress(progress)
    {
    }
    // A reader dropped half-way keeps the records it read.
    ~FortunesReader()
    {
        if (!m_done)
            m_bulk.finish();
    }

    // Starts on the records of file bytes [from, to) (to < 0: up to the end),
    // after what the list holds. With enough > 0 it may stop once the records
    // read reach that many bytes past from. The file must stay open while
    // the reader runs.
    void begin(OpenFile &file, qint64 from, qint64 to, qint64 enough);
    // Reads on until it is done or the deadline has passed; true once done.
    bool advance(QDeadlineTimer deadline);
    const RecordScan &scan() const { return m_scan; }

    RecordScan read(OpenFile &file, qint64 from, qint64 to, qint64 enough)
    {
        begin(file, from, to, enough);
        advance(QDeadlineTimer(QDeadlineTimer::Forever));
        return m_scan;
    }

private:
    enum class Step { More, Done, Full, Failed };

    bool decodeUtf16(OpenFile &file, TextEncoding encoding, qint64 from);
    qint64 fill(OpenFile &file, char *data, qint64 max);
    Step readSome(QDeadlineTimer deadline);
    Step processLines(const char *buf, qsizetype last);
    bool lastLine(const char *buf, qsizetype length);
    void append(const char *p, qsizetype n) { m_bulk.append(p, n); }
    bool closeRecord(qsizetype separatorAt);
    void end(Step step);

    FortuneList &m_list;
    FortuneList::Bulk m_bulk;
    const LoadProgress &m_progress;
    QElapsedTimer m_clock;
    int m_sinceClock = 0;

    OpenFile *m_file = nullptr;
    qint64 m_enough = 0;
    qsizetype m_before = 0; // the list's count before
    bool m_done = false;
    qint64 m_from = 0;     // where reading began
    qint64 m_pos = 0;      // next byte to read from the source
    qint64 m_to = -1;      // end of the source, or -1: the end of the file
    qint64 m_base = 0;     // source offset of the chunk buffer's first byte
    std::vector<char> m_storage; // the chunk buffer, with room around it
    qsizetype m_capacity = 0;
    qsizetype m_have = 0;  // bytes in the chunk buffer
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

// buf[-1] is an LF, so buf[0] always starts a line; kPad bytes around the
// buffer let the scan read a little past the data.
FortunesReader::Step FortunesReader::readSome(QDeadlineTimer deadline)
{
    char *buf = m_storage.data() + kPad;
    for (;;) {
        const qint64 got = fill(*m_file, buf + m_have, m_capacity - m_have);
        if (got < 0)
            return Step::Failed;
        if (got == 0)
            return lastLine(buf, m_have) ? Step::Done : Step::Full;
        const qsizetype filled = m_have + qsizetype(got);
        const qsizetype last = QByteArrayView(buf, filled).lastIndexOf('\n');
        if (last < 0) {
            m_have = filled;
            if (m_have == m_capacity) { // one very long line: make room for more of it
                m_capacity *= 2;
                std::vector<char> bigger(size_t(m_capacity + 2 * kPad), 0);
                std::memcpy(bigger.data() + kPad, buf, size_t(m_have));
                m_storage.swap(bigger);
                buf = m_storage.data() + kPad;
                buf[-1] = '\n';
            }
            continue;
        }
        std::memset(buf + filled, 0, size_t(kPad)); // the scan reads a little past the data
        if (processLines(buf, last) == Step::Full)
            return Step::Full;
        m_have = filled - (last + 1);
        std::memmove(buf, buf + last + 1, size_t(m_have));
        m_base += last + 1;
        if (m_enough > 0 && m_scan.lastSeparatorAt - m_from >= m_enough)
            return Step::Done;
        if (deadline.hasExpired())
            return Step::More;
    }
}

void FortunesReader::begin(OpenFile &file, qint64 from, qint64 to, qint64 enough)
{
    m_file = &file;
    m_enough = enough;
    m_before = m_list.count();
    const TextEncoding encoding = from == 0 ? encodingOf(file) : TextEncoding{};
    m_from = m_pos = m_base = std::max(from, encoding.markSize);
    m_to = to;
    try {
        if (encoding.kind != TextEncoding::Kind::Utf8 && !decodeUtf16(file, encoding, m_from))
            return end(Step::Failed);
        // The text of a file is at most its size (separators are dropped), bar
        // lone LFs that become CR LF; a reader told to stop early needs less.
        qint64 expected = std::max<qint64>(0, (m_to >= 0 ? m_to : file.size()) - m_pos);
        if (enough > 0)
            expected = std::min(expected, enough + kChunk);
        m_bulk.reserve(qsizetype(expected), qsizetype(expected / kSepLen + 1));
        m_capacity = qsizetype(std::clamp<qint64>(expected + 1, 4096, kChunk));
        m_storage.assign(size_t(m_capacity + 2 * kPad), 0);
        m_storage[kPad - 1] = '\n';
    } catch (const std::bad_alloc &) {
        m_problem = FileProblem::NoMemory;
        end(Step::Failed);
    }
}

bool FortunesReader::advance(QDeadlineTimer deadline)
{
    if (m_done)
        return true;
    Step step = Step::Failed;
    try {
        step = readSome(deadline);
    } catch (const std::bad_alloc &) {
        m_problem = FileProblem::NoMemory;
    }
    if (step == Step::More)
        return false;
    end(step);
    return true;
}

// Records read before a failure or a full list stay, as the count showed them.
void FortunesReader::end(Step step)
{
    m_done = true;
    m_bulk.finish(); // stray lines belong to no record
    LoadResult &result = m_scan.result;
    result.stored = m_list.count() - m_before;
    if (m_progress)
        m_progress(m_list.count());
    if (step == Step::Failed) {
        result.outcome = LoadResult::Outcome::Failed;
        result.error = fileMessage(FileAccess::Read, m_problem, m_file->path(), m_error);
    } else if (step == Step::Full) {
        result.outcome = LoadResult::Outcome::Full;
        result.error = listFullMessage(m_file->path());
    }
}

RecordScan scanRecords(OpenFile &file, qint64 from, qint64 to, qint64 enough, FortuneList &list)
{
    return FortunesReader(list, {}).read(file, from, to, enough);
}

struct FortunesLoad::Reading {
    OpenFile file;
    std::optional<FortunesReader> reader;
};

FortunesLoad::FortunesLoad(const QString &path, FortuneList &list, const LoadProgress &progress)
    : m_path(path), m_progress(progress), m_reading(std::make_unique<Reading>())
{
    OpenFile &file = m_reading->file;
    if (!file.open(path, OpenFile::Mode::Read)) {
        m_result.outcome = file.problem() == FileProblem::Missing ? LoadResult::Outcome::Missing
                                                                   : LoadResult::Outcome::Failed;
        m_result.error = file.message(FileAccess::Read);
        m_reading.reset();
        return;
    }
    m_reading->reader.emplace(list, m_progress);
    m_reading->reader->begin(file, 0, -1, 0);
}

FortunesLoad::~FortunesLoad() = default;

bool FortunesLoad::step(QDeadlineTimer deadline)
{
    if (!m_reading)
        return true;
    if (!m_reading->reader->advance(deadline))
        return false;
    m_result = m_reading->reader->scan().result;
    m_reading.reset(); // the file is closed
    qCDebug(lcCollection) << "loaded" << m_result.stored << "fortunes from" << m_path;
    return true;
}

LoadResult loadFortunesFile(const QString &path, FortuneList &list, const LoadProgress &progress)
{
    FortunesLoad load(path, list, progress);
    load.step(QDeadlineTimer(QDeadlineTimer::Forever));
    return load.result();
}

namespace {

// Where the next piece starts: past the separator line at `at`, or -1 when
// that is no longer one (the file changed).
qint64 pastSeparatorLine(OpenFile &file, qint64 at)
{
    char line[kSepLen + 2] = {};
    qsizetype lineFeed = 0;
    if (file.readAt(at, line, sizeof line) < kSepLen + 1 || !separatorLineAt(line, lineFeed))
        return -1;
    return at + lineFeed + 1;
}

// The first `count` records of list, for the piece that reaches the list's limit.
bool handOn(const FortuneList &list, qsizetype count, const PieceReader &onPiece)
{
    if (count == list.count())
        return onPiece(list);
    FortuneList head;
    for (qsizetype i = 0; i < count; ++i)
        head.store(list.rawAt(i));
    return onPiece(head);
}

} // namespace

LoadResult readFortunesInPieces(const QString &path, qint64 piece, const PieceReader &onPiece)
{
    LoadResult result;
    OpenFile file;
    if (!file.open(path, OpenFile::Mode::Read)) {
        result.outcome = file.problem() == FileProblem::Missing ? LoadResult::Outcome::Missing
                                                                 : LoadResult::Outcome::Failed;
        result.error = file.message(FileAccess::Read);
        return result;
    }
    const qint64 enough = encodingOf(file).kind == TextEncoding::Kind::Utf8 ? piece : 0;
    FortuneList list;
    for (qint64 from = 0;;) {
        list.clear();
        const RecordScan scan = scanRecords(file, from, -1, enough, list);
        const qsizetype fits = std::min(list.count(), kSlotCount - result.stored);
        result.stored += fits;
        if (scan.result.outcome == LoadResult::Outcome::Failed) {
            result.outcome = scan.result.outcome;
            result.error = scan.result.error;
            return result;
        }
        if (fits > 0 && !handOn(list, fits, onPiece))
            return result;
        if (fits < list.count() || scan.result.outcome == LoadResult::Outcome::Full) {
            result.outcome = LoadResult::Outcome::Full;
            result.error = listFullMessage(path);
            return result;
        }
        // Read to the end: the last piece stopped short of what it could take.
        if (enough == 0 || scan.lastSeparatorAt < 0 || scan.lastSeparatorAt - from < enough)
            return result;
        if ((from = pastSeparatorLine(file, scan.lastSeparatorAt)) < 0) {
            result.outcome = LoadResult::Outcome::Failed;
            result.error = fileMessage(FileAccess::Read, FileProblem::Failed, path, QStringLiteral("it changed while it was read"));
            return result;
        }
    }
}

} // namespace fortune
