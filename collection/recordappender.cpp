#include "recordappender.h"

#include <QList>

#include <algorithm>

namespace fortune {

namespace {

Status refuseSeparatorLine(const QString &path, QByteArrayView text)
{
    if (!holdsSeparatorLine(text))
        return {};
    return Status::failure(
        fileMessage(FileAccess::Write, FileProblem::Failed, path,
                    QStringLiteral("one of the fortune's lines is exactly the record separator \"%1\", which "
                                   "would split it in two when the file is read")
                        .arg(QString::fromLatin1(kSeparator))));
}

// The system gives up a killed write only between two pages of the file; the
// smallest page of the systems this runs on, of which larger pages are multiples.
constexpr qint64 kPageSize = 4096;

// "where length [device inode]": the write under way, and the file it goes to.
QByteArray noteOf(qint64 where, qint64 length, const FileId &id)
{
    QByteArray note = QByteArray::number(where) + ' ' + QByteArray::number(length);
    if (id.valid)
        note += ' ' + QByteArray::number(id.a) + ' ' + QByteArray::number(id.b);
    return note + '\n';
}

} // namespace

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
// reader sees it. A kill can leave its start only when it reaches into a
// second page of the file: such a write is noted beside the file while it is
// under way (which costs a file of its own, so not for every write).
Status RecordAppender::write(const QByteArray &payload, qint64 formerSize)
{
    const bool mayBeCut = formerSize / kPageSize != (formerSize + payload.size() - 1) / kPageSize;
    if (mayBeCut)
        writeSideFile(notePath(), noteOf(formerSize, payload.size(), m_file.id()));
    const qint64 written = m_file.append(payload);
    if (mayBeCut)
        removeSideFile(notePath());
    if (written == payload.size()) {
        m_settledAt = formerSize + written;
        return {};
    }
    const QString why = written < 0 ? m_file.errorString()
                                    : QStringLiteral("only %1 of %2 bytes were written (is the disk full?)")
                                          .arg(written)
                                          .arg(payload.size());
    const bool cut = m_file.truncate(formerSize);
    const QString cutError = m_file.errorString();
    close();
    return Status::failure(fileMessage(FileAccess::Write, FileProblem::Failed, m_path, why) + u' '
                           + (cut ? QStringLiteral("The file was cut back to its former length.")
                                  : QStringLiteral("It could not be cut back to its former length either: %1.")
                                        .arg(cutError)));
}

Status RecordAppender::append(QByteArrayView text)
{
    if (Status refused = refuseSeparatorLine(m_path, text); !refused.ok())
        return refused;
    QByteArray record;
    record.reserve(text.size() + kRecordOverhead);
    appendRecordBytes(record, text);
    return appendRecords(record);
}

Status RecordAppender::appendRecords(const QByteArray &records)
{
    if (m_lockedSize < 0) {
        if (Status opened = openAtPath(); !opened.ok())
            return opened;
    }
    const qint64 size = m_lockedSize >= 0 ? m_lockedSize : m_file.size();
    if (size < 0)
        return Status::failure(m_file.message(FileAccess::Read));
    QByteArray stray;
    if (size != m_settledAt || size == 0) {
        if (Status closed = closeStrayLines(size, records, stray); !closed.ok())
            return closed;
    }
    const QByteArray &payload = stray.isEmpty() ? records : stray.append(records);
    Status written = write(payload, size);
    if (written.ok() && m_lockedSize >= 0)
        m_lockedSize = size + payload.size();
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

// Under the lock: the file ends with a separator line afterwards. Nothing to
// look at when it ends where this program last saw it end so.
Status RecordAppender::settle()
{
    if (m_lockedSize == m_settledAt)
        return {};
    if (Status cut = cutUnfinishedWrite(); !cut.ok())
        return cut;
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

// A note beside the file names a write that never finished: its writer was
// killed. What it left after its last whole record is cut off; a cut write
// ends where a page ends, which tells it from anything written since.
Status RecordAppender::cutUnfinishedWrite()
{
    const std::optional<QByteArray> note = readSideFile(notePath());
    if (!note)
        return {};
    removeSideFile(notePath());
    const QList<QByteArray> fields = note->trimmed().split(' ');
    const qint64 from = fields.value(0).toLongLong(), length = fields.value(1).toLongLong();
    const FileId id = m_file.id();
    const bool sameFile = fields.size() < 4 || !id.valid
                          || (fields[2].toULongLong() == id.a && fields[3].toULongLong() == id.b);
    const qint64 size = m_lockedSize;
    if (!sameFile || from < 0 || size <= from || size >= from + length || size % kPageSize != 0)
        return {};
    // From the line end before the write (the file's start counts as one), so
    // a separator line at its very start is seen.
    const qint64 base = from - 1;
    QByteArray left(size - from, Qt::Uninitialized);
    if (m_file.readAt(from, left.data(), left.size()) != left.size())
        return Status::failure(m_file.message(FileAccess::Read));
    left.prepend('\n');
    const QByteArray closing = '\n' + kSeparator.toByteArray();
    qint64 keep = from;
    if (left.endsWith(closing) || left.endsWith(closing + '\r')) {
        keep = size; // a whole last record but for its line end, which closing stray lines adds
    } else if (const qsizetype at = left.lastIndexOf(closing + kCrLf.toByteArray()); at >= 0) {
        keep = base + at + closing.size() + kCrLf.size();
    }
    if (keep < size) {
        if (!m_file.truncate(keep))
            return Status::failure(m_file.message(FileAccess::Write));
        m_lockedSize = keep;
    }
    return {};
}

Status appendRecord(const QString &path, QByteArrayView text)
{
    RecordAppender file(path);
    return file.append(text);
}

} // namespace fortune
