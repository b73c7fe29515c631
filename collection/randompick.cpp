#include "randompick.h"

#include "fortunesfile.h"

#include <QFile>
#include <QRandomGenerator>

#include <algorithm>

namespace fortune {

namespace {

// The smallest span a record can have: its separator line alone, at the very
// end of the file without a line break.
constexpr qint64 kMinSpan = kSeparator.size();

// Start size of the piece read around a landing spot, on each side.
constexpr qint64 kFirstReach = 2 * 1024;

bool isSeparatorLine(const char *begin, qint64 length)
{
    // As for the loader, a CR right before the line's end (an LF, or the end of
    // the file) is not part of the line.
    if (length > 0 && begin[length - 1] == '\r')
        --length;
    return QByteArrayView(begin, length) == kSeparator;
}

// A piece [lo, hi) of the file, read on demand.
class Piece {
public:
    Piece(QFile &file, qint64 size) : m_file(file), m_size(size) {}

    bool read(qint64 from, qint64 to)
    {
        m_lo = std::max<qint64>(0, from);
        m_hi = std::min(m_size, to);
        m_bytes.resize(m_hi - m_lo);
        if (!m_file.seek(m_lo))
            return false;
        qint64 done = 0;
        while (done < m_bytes.size()) {
            const qint64 got = m_file.read(m_bytes.data() + done, m_bytes.size() - done);
            if (got <= 0)
                return false; // error, or the file shrank under us
            done += got;
        }
        return true;
    }

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
    QFile &m_file;
    qint64 m_size;
    qint64 m_lo = 0;
    qint64 m_hi = 0;
    QByteArray m_bytes;
};

enum class Landing { Record, Stray, NeedMore };

struct Record {
    qint64 start = 0;   // first byte of its first line
    qint64 textEnd = 0; // first byte of its separator line
    qint64 end = 0;     // one past its separator line's line break
};

// Finds the record that holds byte `offset`, looking only inside the piece.
Landing findRecord(const Piece &piece, qint64 offset, Record &record)
{
    const qint64 lo = piece.lo();
    const qint64 hi = piece.hi();
    const qint64 size = piece.size();

    // Start of the line holding the offset (an LF belongs to the line it ends).
    qint64 lineStart;
    if (const qint64 lf = piece.lastLineFeed(lo, offset); lf >= 0)
        lineStart = lf + 1;
    else if (lo == 0)
        lineStart = 0;
    else
        return Landing::NeedMore;

    // Forward to the separator line that closes the record.
    for (qint64 pos = lineStart;;) {
        if (pos >= size)
            return Landing::Stray; // after the last separator: belongs to no record
        const qint64 lf = piece.firstLineFeed(pos, hi);
        qint64 next;
        bool endedByLineFeed = true;
        if (lf >= 0) {
            next = lf + 1;
        } else if (hi < size) {
            return Landing::NeedMore;
        } else {
            next = size;
            endedByLineFeed = false;
        }
        const qint64 lineLength = (endedByLineFeed ? lf : size) - pos;
        if (isSeparatorLine(piece.at(pos), lineLength)) {
            record.textEnd = pos;
            record.end = next;
            break;
        }
        pos = next;
    }

    // Back to the separator line that closes the record before it.
    qint64 cur = lineStart;
    while (cur > 0) {
        if (cur <= lo)
            return Landing::NeedMore;
        const qint64 lf = cur - 1; // the LF that ends the line before cur
        qint64 previousStart;
        if (const qint64 before = piece.lastLineFeed(lo, lf); before >= 0)
            previousStart = before + 1;
        else if (lo == 0)
            previousStart = 0;
        else
            return Landing::NeedMore;
        if (isSeparatorLine(piece.at(previousStart), lf - previousStart))
            break;
        cur = previousStart;
    }
    record.start = cur;
    return Landing::Record;
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

RandomPick pickFromWholeFile(const QString &path, QRandomGenerator &random)
{
    RandomPick pick;
    FortuneList list;
    const LoadResult loaded = loadFortunesFile(path, list);
    switch (loaded.outcome) {
    case LoadResult::Outcome::Missing:
        pick.outcome = RandomPick::Outcome::Missing;
        pick.error = loaded.error;
        return pick;
    case LoadResult::Outcome::Failed:
        pick.outcome = RandomPick::Outcome::Failed;
        pick.error = loaded.error;
        return pick;
    case LoadResult::Outcome::Loaded:
    case LoadResult::Outcome::Full: // the fortunes a full list holds, as the window would
        break;
    }
    if (list.count() == 0) {
        pick.outcome = RandomPick::Outcome::Empty;
        return pick;
    }
    const qsizetype index = qsizetype(random.bounded(quint64(list.count())));
    pick.outcome = RandomPick::Outcome::Picked;
    pick.fortune = list.rawAt(index).toByteArray();
    return pick;
}

} // namespace

// A uniformly random byte offset lands in a record with probability proportional
// to the bytes the record spans. Accepting that landing with probability
// kMinSpan / span cancels this out, so every record is chosen with the same
// probability kMinSpan / fileSize on each try. Giving up after maxTries and
// choosing from the whole file keeps the result uniform, whatever the records'
// lengths.
RandomPick pickRandomFortune(const QString &path, QRandomGenerator &random,
                             const RandomPickOptions &options)
{
    QFile file(path);
    if (!file.exists()) {
        RandomPick pick;
        pick.outcome = RandomPick::Outcome::Missing;
        pick.error = QStringLiteral("%1: no such file").arg(path);
        return pick;
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        RandomPick pick;
        pick.outcome = RandomPick::Outcome::Failed;
        pick.error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return pick;
    }
    const qint64 size = file.size();
    if (size == 0)
        return RandomPick{};
    if (size < options.wholeFileBelow || size < kMinSpan)
        return pickFromWholeFile(path, random);

    Piece piece(file, size);
    for (int tries = 0; tries < options.maxTries; ++tries) {
        const qint64 offset = qint64(random.bounded(quint64(size)));
        Record record;
        Landing landing = Landing::NeedMore;
        for (qint64 reach = kFirstReach; landing == Landing::NeedMore; reach *= 2) {
            if (!piece.read(offset - reach, offset + reach))
                return pickFromWholeFile(path, random);
            landing = findRecord(piece, offset, record);
        }
        if (landing == Landing::Stray)
            continue;
        const qint64 span = record.end - record.start;
        if (qint64(random.bounded(quint64(span))) >= kMinSpan)
            continue;
        RandomPick pick;
        pick.outcome = RandomPick::Outcome::Picked;
        pick.fortune = storedForm(QByteArrayView(piece.at(record.start), record.textEnd - record.start));
        return pick;
    }
    return pickFromWholeFile(path, random);
}

} // namespace fortune
