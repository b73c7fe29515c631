#include "recordappender.h"

#include "fortunesreader.h"

#include <QList>
#include <QLoggingCategory>
#include <QtEndian>

#include <algorithm>
#include <optional>

Q_DECLARE_LOGGING_CATEGORY(lcCollection)

namespace fortune {

namespace {

// The smallest page of the systems this runs on; larger pages are multiples
// of it, so a cut write ends at one of its multiples too.
constexpr qint64 kPageSize = 4096;
constexpr QByteArrayView kNoteWord = "write";
// A note names a write of a few pages; a file far larger at its path is none.
constexpr qint64 kNoteMax = 16 * 1024 * 1024;

RecordAppender::StepObserver g_stepObserver = nullptr;

void reached(RecordAppender::Step step)
{
    if (g_stepObserver)
        g_stepObserver(step);
}

// The page ends inside a write of length bytes at from, the i-th (from 0) at
// pageEnd(from, i).
qint64 pageEndsInside(qint64 from, qint64 length)
{
    return length <= 0 ? 0 : (from + length - 1) / kPageSize - from / kPageSize;
}

qint64 pageEnd(qint64 from, qint64 i)
{
    return (from / kPageSize + 1 + i) * kPageSize;
}

// A digest that every build on every machine computes alike (the note may be
// read by another build of the program): FNV-1a over the bytes taken eight at
// a time, little-endian, each step folded so that high bits reach low ones.
// Each step is a bijection of the state, so a change within one eight-byte
// word always changes the digest. Not against an adversary; fast, as every
// byte of an import goes through it.
quint64 digestOf(QByteArrayView bytes)
{
    constexpr quint64 kPrime = 0x100000001b3;
    quint64 h = 0xcbf29ce484222325 ^ quint64(bytes.size());
    const auto step = [&h](quint64 word) {
        h = (h ^ word) * kPrime;
        h ^= h >> 32;
    };
    qsizetype i = 0;
    for (; i + 8 <= bytes.size(); i += 8)
        step(qFromLittleEndian<quint64>(bytes.data() + i));
    quint64 last = 0;
    for (qsizetype k = 0; i + k < bytes.size(); ++k)
        last |= quint64(quint8(bytes[i + k])) << (8 * k);
    step(last);
    return h;
}

// The bytes of payload, written at from, that lie in the page ending at the
// i-th page end inside it.
QByteArrayView pageOf(QByteArrayView payload, qint64 from, qint64 i)
{
    const qint64 begin = i == 0 ? from : pageEnd(from, i - 1);
    return payload.sliced(begin - from, pageEnd(from, i) - begin);
}

QByteArray noteOf(qint64 from, QByteArrayView payload)
{
    QByteArray note = kNoteWord.toByteArray() + ' ' + QByteArray::number(from) + ' '
                      + QByteArray::number(payload.size());
    for (qint64 i = 0, n = pageEndsInside(from, payload.size()); i < n; ++i)
        note += ' ' + QByteArray::number(digestOf(pageOf(payload, from, i)), 16);
    return note + '\n';
}

struct Note {
    qint64 from = 0;
    qint64 length = 0;
    QList<quint64> digests; // one for each page end inside the write
};

// nullopt for anything but a note of this form whose fields fit together.
std::optional<Note> parseNote(QByteArrayView text)
{
    const QList<QByteArray> fields = text.trimmed().toByteArray().split(' ');
    if (fields.size() < 3 || fields[0] != kNoteWord)
        return std::nullopt;
    Note note;
    bool fromOk = false, lengthOk = false;
    note.from = fields[1].toLongLong(&fromOk);
    note.length = fields[2].toLongLong(&lengthOk);
    if (!fromOk || !lengthOk || note.from < 0 || note.length <= 0
        || fields.size() != 3 + pageEndsInside(note.from, note.length))
        return std::nullopt;
    for (qsizetype i = 3; i < fields.size(); ++i) {
        bool ok = false;
        note.digests << fields[i].toULongLong(&ok, 16);
        if (!ok)
            return std::nullopt;
    }
    return note;
}

// With the file (size bytes) ending at a page end inside the noted write:
// where the file's last whole record ends (the write's start when none closes
// in it) if every page of the write up to there holds what the note says; -1
// when one does not, -2 when the file cannot be read.
qint64 wholeRecordsEnd(OpenFile &file, const Note &note, qint64 size)
{
    char page[kPageSize];
    for (qint64 i = 0; pageEnd(note.from, i) <= size; ++i) {
        const qint64 begin = i == 0 ? note.from : pageEnd(note.from, i - 1);
        const qint64 length = pageEnd(note.from, i) - begin;
        if (file.readAt(begin, page, length) != length)
            return -2;
        if (digestOf(QByteArrayView(page, length)) != note.digests[i])
            return -1;
    }
    // The write starts a line: the file ended with a line end, or the write
    // starts with the one that closes its stray lines.
    FortuneList records;
    const RecordScan scan = scanRecords(file, note.from, size, 0, records);
    if (scan.result.outcome == LoadResult::Outcome::Failed)
        return -2;
    if (scan.result.outcome != LoadResult::Outcome::Loaded)
        return -1; // more records than a list holds: no write of this program
    return std::max(note.from, scan.lastRecordEnd);
}

} // namespace

void RecordAppender::setStepObserverForTests(StepObserver observer)
{
    g_stepObserver = observer;
}

RecordAppender::RecordAppender(QString path) : m_path(std::move(path)) {}

void RecordAppender::close()
{
    m_file.close();
    m_lockedSize = -1;
    m_settledAt = -1;
}

// The file held open must still be the one at the path: an editor may have
// saved a new file in its place, or someone removed it.
Status RecordAppender::openAtPath()
{
    if (m_file.isOpen() && !m_file.isStillAtPath())
        m_file.close();
    if (m_file.isOpen())
        return {};
    m_settledAt = -1;
    if (!m_file.open(m_path, OpenFile::Mode::Append))
        return Status::failure(m_file.message(FileAccess::Write));
    ++m_opens;
    const TextEncoding encoding = encodingOf(m_file);
    if (encoding.kind != TextEncoding::Kind::Utf8) {
        m_file.close(); // UTF-8 records in a UTF-16 file would make it unreadable
        return Status::failure(fileMessage(FileAccess::Write, FileProblem::Utf16, m_path));
    }
    m_markSize = encoding.markSize;
    return {};
}

// A new record must start right after a separator line. If the file ends in
// lines after the last separator (or without a final line end), they are
// closed as a record of their own first. next is the text that follows.
Status RecordAppender::closeStrayLines(qint64 size, QByteArrayView next, QByteArray &payload)
{
    const qint64 textStart = std::min(m_markSize, size);
    if (size == 0 && encodingOf(next).markSize > 0)
        payload.append(kUtf8Mark); // so the text's own first bytes are not taken for a mark
    if (size == textStart)
        return {};
    const qint64 tailSize = std::min<qint64>(size - textStart, kSeparator.size() + 3);
    char tailBytes[kSeparator.size() + 3];
    const qint64 got = m_file.readAt(size - tailSize, tailBytes, tailSize);
    if (got != tailSize) {
        const QString why = got < 0 ? m_file.errorString() : QStringLiteral("it became shorter while being read");
        close();
        return Status::failure(fileMessage(FileAccess::Read, FileProblem::Failed, m_path, why));
    }
    const QByteArrayView tail(tailBytes, tailSize);
    const bool endsWithLf = tail.endsWith('\n');
    const bool endsWithCr = !endsWithLf && tail.endsWith('\r');
    // The last line, whole when the tail holds its start.
    const QByteArrayView lines = endsWithLf ? tail.chopped(1) : tail;
    const qsizetype lineFeed = lines.lastIndexOf('\n');
    const bool separatorLast = (lineFeed >= 0 || tailSize == size - textStart)
                               && isSeparatorLine(lines.sliced(lineFeed + 1));
    if (!endsWithLf)
        payload.append(endsWithCr ? QByteArrayView("\n") : kCrLf);
    if (!separatorLast) {
        payload.append(kSeparator);
        payload.append(kCrLf);
    }
    return {};
}

// The whole payload in one write; once it returns it is the system's, and a
// reader sees it. A write that reaches into another page of the file is
// guarded by the note (see the header); one within a page needs none, which
// spares most downloads a file of their own.
Status RecordAppender::write(QByteArrayView payload, qint64 formerSize)
{
    const bool guarded = pageEndsInside(formerSize, payload.size()) > 0;
    if (guarded) {
        reached(Step::Noting);
        if (const QString why = writeSideFile(notePath(), noteOf(formerSize, payload)); !why.isEmpty()) {
            return Status::failure(fileMessage(
                FileAccess::Write, FileProblem::Failed, m_path,
                QStringLiteral("the note \"%1\" that guards a write against a kill cannot be made: %2")
                    .arg(shownPath(notePath()), why)));
        }
        reached(Step::Noted);
    }
    const bool written = m_file.append(payload);
    reached(Step::Written);
    const QString why = written ? QString() : m_file.errorString();
    const bool whole = written || m_file.truncate(formerSize);
    // A write neither done nor undone keeps its note for the next writer.
    if (guarded && whole) {
        reached(Step::Unnoting);
        removeSideFile(notePath());
    }
    if (written) {
        m_settledAt = formerSize + payload.size();
        return {};
    }
    const QString cutError = m_file.errorString();
    close();
    return Status::failure(fileMessage(FileAccess::Write, FileProblem::Failed, m_path, why) + u' '
                           + (whole ? QStringLiteral("The file was cut back to its former length.")
                                    : QStringLiteral("It could not be cut back to its former length either: %1.")
                                          .arg(cutError)));
}

Status RecordAppender::appendRecords(QByteArrayView records)
{
    if (m_lockedSize < 0) {
        if (Status locked = lock(); !locked.ok())
            return locked;
        const Status appended = appendRecords(records);
        unlock();
        return appended;
    }
    const qint64 size = m_lockedSize;
    QByteArray payload;
    if (size != m_settledAt || size == 0) {
        if (Status closed = closeStrayLines(size, records, payload); !closed.ok())
            return closed;
    }
    if (!payload.isEmpty())
        payload.append(records);
    Status written = write(payload.isEmpty() ? records : QByteArrayView(payload), size);
    if (written.ok())
        m_lockedSize = size + (payload.isEmpty() ? records.size() : payload.size());
    return written;
}

Status RecordAppender::open()
{
    return openAtPath();
}

Status RecordAppender::lock()
{
    if (Status opened = openAtPath(); !opened.ok())
        return opened;
    return locked(m_file.lock() ? OpenFile::LockTry::Locked : OpenFile::LockTry::Busy);
}

Status RecordAppender::tryLock(bool &busy)
{
    busy = false;
    if (Status opened = openAtPath(); !opened.ok())
        return opened;
    const OpenFile::LockTry got = m_file.tryLock();
    busy = got == OpenFile::LockTry::Busy;
    return busy ? Status{} : locked(got);
}

Status RecordAppender::locked(OpenFile::LockTry got)
{
    // The size once the lock is held: no other writer appends until unlock().
    if (got == OpenFile::LockTry::Busy || (m_lockedSize = m_file.size()) < 0) {
        const Status failed = Status::failure(m_file.message(FileAccess::Write));
        unlock();
        return failed;
    }
    if (Status settled = settle(); !settled.ok()) {
        unlock();
        return settled;
    }
    return {};
}

void RecordAppender::unlock()
{
    m_file.unlock();
    m_lockedSize = -1;
}

// Under the lock: the file ends with a separator line afterwards. Stray
// lines need no look when it ends where this program last saw it end so.
Status RecordAppender::settle()
{
    if (Status recovered = recover(); !recovered.ok())
        return recovered;
    if (m_lockedSize == m_settledAt)
        return {};
    QByteArray stray;
    if (Status closed = closeStrayLines(m_lockedSize, {}, stray); !closed.ok())
        return closed;
    if (!stray.isEmpty()) {
        if (Status written = write(stray, m_lockedSize); !written.ok())
            return written;
        m_lockedSize += stray.size();
    }
    m_settledAt = m_lockedSize;
    return {};
}

// A note beside the file names a write that may never have finished: its
// writer was killed. What the file holds of it after its last whole record
// is cut off, if the file holds the start of that write and nothing else.
Status RecordAppender::recover()
{
    const std::optional<QByteArray> text = readSideFile(notePath(), kNoteMax);
    if (!text)
        return {};
    const std::optional<Note> note = parseNote(*text);
    const qint64 size = m_lockedSize;
    if (note && size > note->from && size < note->from + note->length && size % kPageSize == 0) {
        const qint64 keep = wholeRecordsEnd(m_file, *note, size);
        if (keep == -2)
            return Status::failure(m_file.message(FileAccess::Read));
        if (keep >= 0 && keep < size) {
            reached(Step::Recovering);
            if (!m_file.truncate(keep))
                return Status::failure(m_file.message(FileAccess::Write));
            m_lockedSize = keep;
            reached(Step::RecoveryCut);
        }
    }
    if (QString why; !removeSideFile(notePath(), &why))
        qCInfo(lcCollection) << "could not remove the note" << notePath() << why;
    return {};
}

Status appendRecord(const QString &path, QByteArrayView text)
{
    QByteArray record;
    if (!appendRecordBytes(record, text))
        return Status::failure(fileMessage(FileAccess::Write, FileProblem::Failed, path, separatorLineReason()));
    return RecordAppender(path).appendRecords(record);
}

} // namespace fortune
