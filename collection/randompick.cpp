#include "randompick.h"

#include "fileio.h"
#include "fortunesformat.h"
#include "fortunesreader.h"

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

// Finds the record that holds byte `offset`, looking only inside the piece.
Landing findRecord(const Piece &piece, qint64 offset)
{
    const qint64 lo = piece.lo();
    const qint64 hi = piece.hi();
    const qint64 size = piece.size();
    Landing landing;

    // Start of the line holding the offset (an LF belongs to the line it ends).
    qint64 lineStart;
    if (const qint64 lf = piece.lastLineFeed(lo, offset); lf >= 0) {
        lineStart = lf + 1;
    } else if (lo == piece.first()) {
        lineStart = lo;
    } else {
        landing.seen = offset + 1 - lo;
        return landing;
    }

    // Forward to the separator line that closes the record. knownTo: the
    // record certainly reaches this far.
    bool forwardFound = false;
    qint64 knownTo = offset + 1;
    for (qint64 pos = lineStart;;) {
        if (pos >= size) {
            landing.kind = Landing::Kind::Stray; // after the last separator: belongs to no record
            return landing;
        }
        const qint64 lf = piece.firstLineFeed(pos, hi);
        if (lf < 0 && hi < size) {
            // A line cut by the piece's end is part of the record unless it
            // is short enough to be its separator.
            knownTo = std::max(knownTo, hi - pos > kMinSpan + 1 ? hi : pos);
            break;
        }
        const qint64 next = lf >= 0 ? lf + 1 : size;
        if (isSeparatorLine(QByteArrayView(piece.at(pos), (lf >= 0 ? lf : size) - pos))) {
            landing.textEnd = pos;
            landing.end = knownTo = next;
            forwardFound = true;
            break;
        }
        knownTo = std::max(knownTo, next);
        pos = next;
    }

    // Back to the separator line that closes the record before it.
    qint64 cur = lineStart;
    bool backwardFound = true;
    while (cur > piece.first()) {
        const qint64 lf = cur - 1; // the LF that ends the line before cur
        qint64 previousStart;
        if (const qint64 before = piece.lastLineFeed(lo, lf); before >= 0) {
            previousStart = before + 1;
        } else if (lo == piece.first()) {
            previousStart = lo;
        } else {
            backwardFound = false;
            break;
        }
        if (isSeparatorLine(QByteArrayView(piece.at(previousStart), lf - previousStart)))
            break;
        cur = previousStart;
    }
    if (!forwardFound || !backwardFound) {
        landing.seen = knownTo - cur;
        return landing;
    }
    landing.kind = Landing::Kind::Record;
    landing.start = cur;
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

RandomPick noFortune(const QString &path)
{
    RandomPick pick;
    pick.error = QStringLiteral("The fortunes file \"%1\" holds no fortune to pick.")
                     .arg(shownPath(path));
    return pick;
}

// Through the loader, for what the pick does not read itself: a file it
// refuses (the loader's refusal, word for word), a UTF-16 file, a file that
// changed while it was read.
RandomPick pickWithLoader(const QString &path, QRandomGenerator &random)
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
        if (!isEmptyFortune(list.rawAt(i)))
            fortunes.push_back(i);
    }
    if (fortunes.empty())
        return noFortune(path);
    return picked(list.rawAt(fortunes[random.bounded(quint64(fortunes.size()))]).toByteArray());
}

// Reads [first, size) once from end to end and keeps one of its non-empty
// records, replacing it with the n-th one with probability 1/n, so each is
// kept equally often. Holds a chunk and the head of the current line, however
// long the records are.
RandomPick pickByScan(OpenFile &file, const QString &path, qint64 first, qint64 size, QRandomGenerator &random)
{
    QByteArray chunk(kScanChunk, Qt::Uninitialized);
    char head[kMinSpan + 2];  // the current line's first bytes, enough to tell a separator
    qint64 headSize = 0;
    qint64 recordStart = first;
    qint64 lineStart = first;
    bool recordEmpty = true;  // the record's lines so far hold nothing to read
    bool lineEmpty = true;
    quint64 fortunes = 0;
    qint64 keptStart = -1;
    qint64 keptEnd = -1;
    const auto lineEnded = [&](qint64 lineEnd, qint64 next) {
        // head holds the whole line when it is short enough to be a separator.
        if (lineEnd - lineStart <= kMinSpan + 1 && isSeparatorLine(QByteArrayView(head, lineEnd - lineStart))) {
            if (!recordEmpty && random.bounded(++fortunes) == 0) {
                keptStart = recordStart;
                keptEnd = lineStart;
            }
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
            return pickWithLoader(path, random);
        for (const char *p = chunk.constData(), *end = p + got; p < end;) {
            const char *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            const char *stop = lf ? lf : end;
            const qint64 toHead = std::min<qint64>(stop - p, qint64(sizeof head) - headSize);
            std::memcpy(head + headSize, p, size_t(toHead));
            headSize += toHead;
            if (recordEmpty && lineEmpty)
                lineEmpty = isEmptyFortune(QByteArrayView(p, stop - p));
            if (lf) {
                const qint64 lineEnd = at + (lf - chunk.constData());
                lineEnded(lineEnd, lineEnd + 1);
                p = lf + 1;
            } else {
                p = end;
            }
        }
        at += got;
    }
    if (lineStart < size)
        lineEnded(size, size); // the end of the file ends the last line
    if (fortunes == 0)
        return noFortune(path);
    QByteArray text(keptEnd - keptStart, Qt::Uninitialized);
    if (!readAt(file, keptStart, text.data(), text.size()))
        return pickWithLoader(path, random);
    return picked(storedForm(text));
}

} // namespace

// A uniformly random byte offset lands in a record with probability
// proportional to the bytes the record spans. Accepting that landing with
// probability kMinSpan / span cancels this out, so every record is chosen with
// the same probability kMinSpan / size on each try; an empty record that is
// chosen counts as a miss. The acceptance is drawn before the record is read
// as the longest span it lets through, so a landing in a huge record is given
// up after a few KiB instead of reading it whole. When the tries have read as
// much as the file holds (many misses: a huge record among short ones, or few
// fortunes among empty records), one pass over the file decides instead.
RandomPick pickRandomFortune(const QString &path, QRandomGenerator &random, const RandomPickOptions &options)
{
    // The one way every reader opens a fortunes file: a pipe, a device or a
    // folder is refused without blocking, in the loader's words.
    OpenFile file;
    if (!file.open(path, OpenFile::Mode::Read))
        return pickWithLoader(path, random);
    const qint64 size = file.size();
    const TextEncoding encoding = encodingOf(file);
    if (size < 0 || encoding.kind != TextEncoding::Kind::Utf8)
        return pickWithLoader(path, random); // UTF-16: the loader decodes it
    const qint64 first = encoding.markSize;
    if (size - first < std::max(options.scanBelow, kMinSpan))
        return pickByScan(file, path, first, size, random);

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
                return pickWithLoader(path, random);
            spent += double(piece.hi() - piece.lo() + kReadCost);
            landing = findRecord(piece, offset);
        }
        if (landing.kind != Landing::Kind::Record || double(landing.end - landing.start) > longest)
            continue;
        const QByteArrayView text(piece.at(landing.start), landing.textEnd - landing.start);
        if (!isEmptyFortune(text))
            return picked(storedForm(text));
    }
    return pickByScan(file, path, first, size, random);
}

} // namespace fortune
