#include "recordappender.h"

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

} // namespace

RecordAppender::RecordAppender(QString path) : m_path(std::move(path)) {}

void RecordAppender::close()
{
    m_file.close();
    m_lockedSize = -1;
}

// The file held open must still be the one at the path: an editor may have
// saved a new file in its place, or someone removed it.
Status RecordAppender::openAtPath()
{
    if (m_file.isOpen() && !m_file.isStillAtPath())
        m_file.close();
    if (m_file.isOpen())
        return {};
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

// The whole payload in one write, so that a kill leaves all of it or none;
// once the write returns it is the system's, and a reader sees it.
Status RecordAppender::write(const QByteArray &payload, qint64 formerSize)
{
    const qint64 written = m_file.append(payload);
    if (written == payload.size())
        return {};
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
    if (Status closed = closeStrayLines(size, records, stray); !closed.ok())
        return closed;
    const QByteArray &payload = stray.isEmpty() ? records : stray.append(records);
    Status written = write(payload, size);
    if (written.ok() && m_lockedSize >= 0)
        m_lockedSize = size + payload.size();
    return written;
}

Status RecordAppender::lock()
{
    if (Status opened = openAtPath(); !opened.ok())
        return opened;
    // The size once the lock is held: no other writer appends until unlock().
    if (!m_file.lock() || (m_lockedSize = m_file.size()) < 0) {
        m_file.unlock();
        return Status::failure(m_file.message(FileAccess::Write));
    }
    return {};
}

void RecordAppender::unlock()
{
    m_file.unlock();
    m_lockedSize = -1;
}

Status appendRecord(const QString &path, QByteArrayView text)
{
    RecordAppender file(path);
    return file.append(text);
}

} // namespace fortune
