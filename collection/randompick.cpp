#include "randompick.h"

#include "fileio.h"
#include "fortunesformat.h"
#include "fortunesreader.h"
#include "textdecoding.h"

#include <QDir>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>

namespace fortune {

namespace {

// The smallest span a record can have: its separator line alone, at the very
// end of the file without a line break.
constexpr qint64 kMinSpan = kSeparator.size();

// Start size of the piece read around a landing spot, on each side.
constexpr qint64 kFirstReach = 2 * 1024;

// What one read costs beyond its bytes, counted in bytes against the budget.
constexpr qint64 kReadCost = 4 * 1024;

constexpr qint64 kScanChunk = 256 * 1024;

// False on an error, or when the file shrank under us.
bool readAt(OpenFile &file, qint64 at, char *into, qint64 length)
{
    return file.readAt(at, into, length) == length;
}

// A piece [lo, hi) of the records area [first, size) of the file, read on demand.
class Piece {
public:
    Piece(OpenFile &file, qint64 first, qint64 size) : m_file(file), m_first(first), m_size(size) {}

    bool read(qint64 from, qint64 to)
    {
        m_lo = std::max(m_first, from);
        m_hi = std::min(m_size, to);
        m_bytes.resize(m_hi - m_lo);
        return readAt(m_file, m_lo, m_bytes.data(), m_bytes.size());
    }

    qint64 first() const { return m_first; }
    qint64 lo() const { return m_lo; }
    qint64 hi() const { return m_hi; }
    qint64 size() const { return m_size; }
    const char *at(qint64 pos) const { return m_bytes.constData() + (pos - m_lo); }

    // Last LF in [from, to), or -1.
    qint64 lastLineFeed(qint64 from, qint64 to) const
    {
        if (to <= from)
            return -1;
        const qsizetype hit = QByteArrayView(at(from), to - from).lastIndexOf('\n');
        return hit >= 0 ? from + hit : -1;
    }

    // First LF in [from, to), or -1.
    qint64 firstLineFeed(qint64 from, qint64 to) const
    {
        if (to <= from)
            return -1;
        const qsizetype hit = QByteArrayView(at(from), to - from).indexOf('\n');
        return hit >= 0 ? from + hit : -1;
    }

private:
    OpenFile &m_file;
    qint64 m_first;
    qint64 m_size;
    qint64 m_lo = 0;
    qint64 m_hi = 0;
    QByteArray m_bytes;
};

struct Landing {
    enum class Kind { Record, Stray, NeedMore };
    Kind kind = Kind::NeedMore;
    qint64 start = 0;   // Record: first byte of its first line
    qint64 textEnd = 0; // Record: first byte of its separator line
    qint64 end = 0;     // Record: one past its separator line's line break
    qint64 seen = 0;    // NeedMore: the record is at least this long
};

// Start of the line that holds pos (an LF belongs to the line it ends), or -1
// when it lies before the piece.
qint64 lineStartOf(const Piece &piece, qint64 pos)
{
    if (const qint64 lf = piece.lastLineFeed(piece.lo(), pos); lf >= 0)
        return lf + 1;
    return piece.lo() == piece.first() ? piece.lo() : -1;
}

// Forward from lineStart to the separator line that closes the record: true
// with landing's textEnd and end set. False when the piece ends first, or
// with landing Stray when no separator follows. knownTo: the record
// certainly reaches this far.
bool findClosingSeparator(const Piece &piece, qint64 lineStart, Landing &landing, qint64 &knownTo)
{
    const qint64 hi = piece.hi();
    const qint64 size = piece.size();
    for (qint64 pos = lineStart;;) {
        if (pos >= size) {
            landing.kind = Landing::Kind::Stray; // after the last separator: belongs to no record
            return false;
        }
        const qint64 lf = piece.firstLineFeed(pos, hi);
        if (lf < 0 && hi < size) {
            // A line cut by the piece's end is part of the record unless it
            // is short enough to be its separator.
            knownTo = std::max(knownTo, hi - pos > kMinSpan + 1 ? hi : pos);
            return false;
        }
        const qint64 next = lf >= 0 ? lf + 1 : size;
        if (isSeparatorLine(QByteArrayView(piece.at(pos), (lf >= 0 ? lf : size) - pos))) {
            landing.textEnd = pos;
            landing.end = knownTo = next;
            return true;
        }
        knownTo = std::max(knownTo, next);
        pos = next;
    }
}

// Back from lineStart to the separator line that closes the record before:
// the record's first byte, or -1 when the piece begins first. reached: how
// far back the record is known to reach.
qint64 findRecordStart(const Piece &piece, qint64 lineStart, qint64 &reached)
{
    for (reached = lineStart; reached > piece.first();) {
        const qint64 lf = reached - 1; // the LF that ends the line before
        const qint64 previousStart = lineStartOf(piece, lf);
        if (previousStart < 0)
            return -1;
        if (isSeparatorLine(QByteArrayView(piece.at(previousStart), lf - previousStart)))
            break;
        reached = previousStart;
    }
    return reached;
}

// Finds the record that holds byte `offset`, looking only inside the piece.
Landing findRecord(const Piece &piece, qint64 offset)
{
    Landing landing;
    const qint64 lineStart = lineStartOf(piece, offset);
    if (lineStart < 0) {
        landing.seen = offset + 1 - piece.lo();
        return landing;
    }
    qint64 knownTo = offset + 1;
    const bool closed = findClosingSeparator(piece, lineStart, landing, knownTo);
    if (landing.kind == Landing::Kind::Stray)
        return landing;
    qint64 reached = lineStart;
    const qint64 start = findRecordStart(piece, lineStart, reached);
    if (!closed || start < 0) {
        landing.seen = knownTo - reached;
        return landing;
    }
    landing.kind = Landing::Kind::Record;
    landing.start = start;
    return landing;
}

// The record's lines, in the form the loader stores them.
QByteArray storedForm(QByteArrayView text)
{
    if (text.isEmpty())
        return {};
    // recordForm ends every line with CR LF itself, so the line break that ends
    // the record's last line goes first.
    if (text.endsWith('\n')) {
        text.chop(1);
        if (text.endsWith('\r'))
            text.chop(1);
    }
    return recordForm(text);
}

RandomPick picked(QByteArray fortune)
{
    RandomPick pick;
    pick.outcome = RandomPick::Outcome::Picked;
    pick.fortune = std::move(fortune);
    return pick;
}

RandomPick noFortune(const QString &path, const LengthLimit &length)
{
    QString which;
    if (length.kind == LengthLimit::Kind::Short)
        which = QStringLiteral(" of at most %1 characters").arg(length.limit);
    else if (length.kind == LengthLimit::Kind::Long)
        which = QStringLiteral(" longer than %1 characters").arg(length.limit);
    RandomPick pick;
    pick.error = QStringLiteral("The fortunes file \"%1\" holds no fortune%2 to pick.").arg(shownPath(path), which);
    return pick;
}

bool isCandidate(QByteArrayView text, const LengthLimit &length)
{
    return !isEmptyFortune(text) && length.accepts(text);
}

// Through the loader, for what the pick does not read itself: a file it
// refuses (the loader's refusal, word for word), a UTF-16 file, a file that
// changed while it was read.
RandomPick pickWithLoader(const QString &path, QRandomGenerator &random, const LengthLimit &length)
{
    FortuneList list;
    const LoadResult loaded = loadFortunesFile(path, list);
    RandomPick pick;
    pick.error = loaded.error;
    switch (loaded.outcome) {
    case LoadResult::Outcome::Missing:
        pick.outcome = RandomPick::Outcome::Missing;
        return pick;
    case LoadResult::Outcome::Failed:
        pick.outcome = RandomPick::Outcome::Failed;
        return pick;
    case LoadResult::Outcome::Loaded:
    case LoadResult::Outcome::Full: // the fortunes a full list holds, as the window would
        break;
    }
    std::vector<qsizetype> fortunes;
    for (qsizetype i = 0; i < list.count(); ++i) {
        if (isCandidate(list.rawAt(i), length))
            fortunes.push_back(i);
    }
    if (fortunes.empty())
        return noFortune(path, length);
    return picked(list.rawAt(fortunes[random.bounded(quint64(fortunes.size()))]).toByteArray());
}

// Reads [first, size) once from end to end and calls onRecord(start, textEnd,
// empty) for each record, at its separator line: its text is the file's
// bytes [start, textEnd), and empty when it holds nothing to read. Holds a
// chunk and the head of the current line, however long the records are.
// False when a read fails.
template <typename OnRecord>
bool walkRecords(OpenFile &file, qint64 first, qint64 size, OnRecord &&onRecord)
{
    QByteArray chunk(kScanChunk, Qt::Uninitialized);
    char head[kMinSpan + 2];  // the current line's first bytes, enough to tell a separator
    qint64 headSize = 0;
    qint64 recordStart = first;
    qint64 lineStart = first;
    bool recordEmpty = true;  // the record's lines so far hold nothing to read
    bool lineEmpty = true;
    const auto lineEnded = [&](qint64 lineEnd, qint64 next) {
        // head holds the whole line when it is short enough to be a separator.
        if (lineEnd - lineStart <= kMinSpan + 1 && isSeparatorLine(QByteArrayView(head, lineEnd - lineStart))) {
            onRecord(recordStart, lineStart, recordEmpty);
            recordStart = next;
            recordEmpty = true;
        } else {
            recordEmpty = recordEmpty && lineEmpty;
        }
        lineStart = next;
        lineEmpty = true;
        headSize = 0;
    };
    for (qint64 at = first; at < size;) {
        const qint64 got = file.readAt(at, chunk.data(), std::min(qint64(chunk.size()), size - at));
        if (got <= 0)
            return false;
        for (const char *p = chunk.constData(), *end = p + got; p < end;) {
            const char *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            const char *stop = lf ? lf : end;
            const qint64 toHead = std::min<qint64>(stop - p, qint64(sizeof head) - headSize);
            std::memcpy(head + headSize, p, size_t(toHead));
            headSize += toHead;
            if (recordEmpty && lineEmpty)
                lineEmpty = isEmptyFortune(QByteArrayView(p, stop - p));
            const qint64 lineEnd = at + (stop - chunk.constData());
            if (lf)
                lineEnded(lineEnd, lineEnd + 1);
            p = lf ? lf + 1 : end;
        }
        at += got;
    }
    if (lineStart < size)
        lineEnded(size, size); // the end of the file ends the last line
    return true;
}

// Does the length limit accept the text of file bytes [start, textEnd)? Read
// and measured only when its size does not tell (at most four bytes a
// character of the limit). Nothing when the read fails.
std::optional<bool> acceptsRecord(OpenFile &file, qint64 start, qint64 textEnd, const LengthLimit &length)
{
    if (const std::optional<bool> bySize = length.acceptsSize(textEnd - start))
        return bySize;
    QByteArray text(textEnd - start, Qt::Uninitialized);
    if (!readAt(file, start, text.data(), text.size()))
        return std::nullopt;
    return length.accepts(text);
}

// One pass over [first, size) that keeps one of the records it accepts,
// replacing it with the n-th one with probability 1/n, so each is kept
// equally often.
RandomPick pickByScan(OpenFile &file, const QString &path, qint64 first, qint64 size, QRandomGenerator &random,
                      const LengthLimit &length)
{
    quint64 fortunes = 0;
    qint64 keptStart = -1;
    qint64 keptEnd = -1;
    bool measured = true;
    const bool walked = walkRecords(file, first, size, [&](qint64 start, qint64 textEnd, bool empty) {
        const std::optional<bool> accepted = empty ? false : acceptsRecord(file, start, textEnd, length);
        measured = measured && accepted.has_value();
        if (accepted.value_or(false) && random.bounded(++fortunes) == 0) {
            keptStart = start;
            keptEnd = textEnd;
        }
    });
    if (!walked || !measured)
        return pickWithLoader(path, random, length);
    if (fortunes == 0)
        return noFortune(path, length);
    QByteArray text(keptEnd - keptStart, Qt::Uninitialized);
    if (!readAt(file, keptStart, text.data(), text.size()))
        return pickWithLoader(path, random, length);
    return picked(storedForm(text));
}

} // namespace

qsizetype fortuneLength(QByteArrayView text)
{
    const bool utf8 = isValidUtf8(text);
    qsizetype characters = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const uchar byte = uchar(text[i]);
        const bool continuation = utf8 && (byte & 0xC0) == 0x80;
        const bool lineEnd = byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n'; // CR LF: one break
        characters += continuation || lineEnd ? 0 : 1;
    }
    return characters;
}

std::optional<bool> LengthLimit::acceptsSize(qint64 bytes) const
{
    if (kind == Kind::Any)
        return true;
    if (bytes <= limit) // no more characters than bytes
        return kind == Kind::Short;
    if (bytes > 4 * qint64(limit)) // at least a quarter as many
        return kind == Kind::Long;
    return std::nullopt;
}

bool LengthLimit::accepts(QByteArrayView text) const
{
    if (const std::optional<bool> bySize = acceptsSize(text.size()))
        return *bySize;
    return (fortuneLength(text) <= limit) == (kind == Kind::Short);
}

// A uniformly random byte offset lands in a record with probability
// proportional to the bytes the record spans. Accepting that landing with
// probability kMinSpan / span cancels this out, so every record is chosen with
// the same probability kMinSpan / size on each try; an empty record that is
// chosen, or one the length limit refuses, counts as a miss. The acceptance is drawn before the record is read
// as the longest span it lets through, so a landing in a huge record is given
// up after a few KiB instead of reading it whole. When the tries have read as
// much as the file holds (many misses: a huge record among short ones, or few
// fortunes among empty records or of the length asked for), one pass over
// the file decides instead.
RandomPick pickRandomFortune(const QString &path, QRandomGenerator &random, const RandomPickOptions &options)
{
    // The one way every reader opens a fortunes file: a pipe, a device or a
    // folder is refused without blocking, in the loader's words.
    const LengthLimit &length = options.length;
    OpenFile file;
    if (!file.open(path, OpenFile::Mode::Read))
        return pickWithLoader(path, random, length);
    const qint64 size = file.size();
    const TextEncoding encoding = encodingOf(file);
    if (size < 0 || encoding.kind != TextEncoding::Kind::Utf8)
        return pickWithLoader(path, random, length); // UTF-16: the loader decodes it
    const qint64 first = encoding.markSize;
    if (size - first < std::max(options.scanBelow, kMinSpan))
        return pickByScan(file, path, first, size, random, length);

    Piece piece(file, first, size);
    const double budget = options.sampleBudget * double(size);
    for (double spent = 0; spent <= budget;) {
        const qint64 offset = first + qint64(random.bounded(quint64(size - first)));
        // Uniform in (0, 1]: a record of span s is let through with
        // probability P(kMinSpan / s >= v) = kMinSpan / s.
        const double v = (double(random.generate64() >> 11) + 1) * 0x1p-53;
        const double longest = double(kMinSpan) / v;
        Landing landing;
        for (qint64 reach = kFirstReach; landing.kind == Landing::Kind::NeedMore; reach *= 2) {
            if (double(landing.seen) > longest)
                break;
            if (!piece.read(offset - reach, offset + reach))
                return pickWithLoader(path, random, length);
            spent += double(piece.hi() - piece.lo() + kReadCost);
            landing = findRecord(piece, offset);
        }
        if (landing.kind != Landing::Kind::Record || double(landing.end - landing.start) > longest)
            continue;
        const QByteArrayView text(piece.at(landing.start), landing.textEnd - landing.start);
        if (isCandidate(text, length))
            return picked(storedForm(text));
    }
    return pickByScan(file, path, first, size, random, length);
}

} // namespace fortune
