#include "fortunesfile.h"

#include <algorithm>

namespace fortune {

namespace {

constexpr qsizetype kSepLen = kSeparator.size();
constexpr QByteArrayView kCrLf{"\r\n"};
// The records a take-in reads into memory at a time.
constexpr qint64 kTakeInStep = 8 * 1024 * 1024;

// Calls f(line) for every line of text as the reader would see it after the
// writer put text + CR LF on disk: split at LF, one CR before an LF dropped.
template <typename F>
void forEachWrittenLine(QByteArrayView text, F &&f)
{
    qsizetype start = 0;
    for (;;) {
        const qsizetype lf = text.indexOf('\n', start);
        if (lf < 0) {
            f(text.sliced(start));
            return;
        }
        qsizetype end = lf;
        if (end > start && text[end - 1] == '\r')
            --end;
        f(text.sliced(start, end - start));
        start = lf + 1;
    }
}

Status refuseSeparatorLine(const QString &path, QByteArrayView text)
{
    bool inside = false;
    forEachWrittenLine(text, [&](QByteArrayView line) { inside |= line == kSeparator; });
    if (!inside)
        return {};
    return Status::failure(
        fileMessage(FileAccess::Write, FileProblem::Failed, path,
                    QStringLiteral("one of the fortune's lines is exactly the record separator \"%1\", which "
                                   "would split it in two when the file is read")
                        .arg(QString::fromLatin1(kSeparator))));
}

void appendRecordBytes(QByteArray &payload, QByteArrayView text)
{
    payload.append(text);
    payload.append(kCrLf);
    payload.append(kSeparator);
    payload.append(kCrLf);
}

Status listFull()
{
    return Status::failure(QStringLiteral("The fortune list is full: it already holds %1 fortunes, "
                                          "so the new fortune was neither saved nor stored.")
                               .arg(kSlotCount));
}

} // namespace

QByteArray recordForm(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size() + 2 + 2 * text.count('\n'));
    forEachWrittenLine(text, [&](QByteArrayView line) {
        out.append(line);
        out.append(kCrLf);
    });
    return out;
}

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
        payload.append("\xEF\xBB\xBF"); // so the text's own first bytes are not taken for a mark
    if (size == textStart)
        return {};
    const qint64 tailSize = std::min<qint64>(size - textStart, kSepLen + 3);
    char tailBytes[kSepLen + 3];
    const qint64 got = m_file.readAt(size - tailSize, tailBytes, tailSize);
    if (got != tailSize) {
        const QString why = got < 0 ? m_file.errorString() : QStringLiteral("it became shorter while being read");
        close();
        return Status::failure(fileMessage(FileAccess::Read, FileProblem::Failed, m_path, why));
    }
    const QByteArrayView tail(tailBytes, tailSize);
    const bool endsWithLf = tail.endsWith('\n');
    const bool endsWithCr = !endsWithLf && tail.endsWith('\r');
    QByteArrayView lastLine(tail);
    if (endsWithLf)
        lastLine.chop(1);
    if (lastLine.endsWith('\r'))
        lastLine.chop(1);
    bool separatorLast = false;
    if (lastLine.endsWith(kSeparator)) {
        const qsizetype lineStart = lastLine.size() - kSepLen;
        separatorLast = lineStart == 0 ? tailSize == size - textStart : lastLine[lineStart - 1] == '\n';
    }
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
    record.reserve(text.size() + kSepLen + 4);
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

CollectionFile::CollectionFile(QString path)
    : m_appender(std::move(path)), m_elsewhere(std::make_unique<FortuneList>())
{
}

CollectionFile::~CollectionFile() = default;

void CollectionFile::forget()
{
    m_resumeAt = -1;
    m_ownEnd = -1;
    m_nextGuess = 0;
    m_inFile.assign(m_inFile.size(), false);
    m_elsewhere = std::make_unique<FortuneList>();
}

void CollectionFile::note(QByteArrayView record, FortuneList &list)
{
    // The list usually holds the file's records in the file's order (it was
    // loaded from it), so the slot after the last one found is tried first.
    const qsizetype i = m_nextGuess < list.count() && list.rawAt(m_nextGuess) == record ? m_nextGuess
                                                                                        : list.indexOf(record);
    m_nextGuess = i + 1;
    if (i < 0) {
        m_elsewhere->store(record);
        return;
    }
    if (size_t(i) >= m_inFile.size())
        m_inFile.resize(size_t(list.count()), false);
    m_inFile[size_t(i)] = true;
}

bool CollectionFile::holds(QByteArrayView form, const FortuneList &list) const
{
    return list.contains(form, [this](qsizetype i) { return size_t(i) < m_inFile.size() && m_inFile[size_t(i)]; })
           || m_elsewhere->contains(form);
}

// Reads the records the file gained since the last look: at the first store
// all of it, later what this program and any other writer appended. Each
// look starts again at the last separator line it read, which must still be
// one; a file replaced or rewritten is read again from its start.
Status CollectionFile::takeIn(FortuneList &list)
{
    OpenFile &file = m_appender.file();
    const qint64 size = m_appender.lockedSize();
    if (m_appender.opens() != m_opens) {
        m_opens = m_appender.opens();
        const FileId id = file.id();
        if (!(id == m_fileId))
            forget();
        m_fileId = id;
    }
    if (m_resumeAt >= 0 && size < m_resumeAt + kSepLen)
        forget();
    if (size == m_ownEnd) { // nothing came after this program's own last record
        m_resumeAt = size - kSepLen - 2;
        return {};
    }
    // A file rewritten since the last look is read again from its start.
    // Found rewritten again within the same look, it is being rewritten all
    // the time (by a program that ignores the lock) or reads differently each
    // time: give up rather than read it forever.
    int restarts = 0;
    for (;;) {
        const qint64 from = std::max<qint64>(m_resumeAt, 0);
        FortuneList found;
        const RecordScan scan = scanRecords(file, from, size, kTakeInStep, found);
        if (scan.result.outcome == LoadResult::Outcome::Failed)
            return Status::failure(scan.result.error);
        qsizetype first = 0;
        if (m_resumeAt >= 0) {
            if (scan.firstSeparatorAt != m_resumeAt) {
                forget();
                if (++restarts > 2) {
                    return Status::failure(fileMessage(FileAccess::Read, FileProblem::Failed, path(),
                                                       QStringLiteral("it changes while it is read (does "
                                                                      "another program rewrite it?)")));
                }
                continue;
            }
            first = 1; // the separator line looked at last time closes an empty record
        }
        for (qsizetype i = first; i < found.count(); ++i)
            note(found.rawAt(i), list);
        if (scan.lastSeparatorAt < 0)
            return {};
        m_resumeAt = scan.lastSeparatorAt;
        if (m_resumeAt - from < kTakeInStep)
            return {};
    }
}

CollectionFile::Stored CollectionFile::storeUnlessHeld(QByteArrayView text, FortuneList &list)
{
    Stored result;
    if (list.isFull()) {
        result.status = listFull();
        return result;
    }
    if (result.status = m_appender.lock(); !result.status.ok())
        return result;
    result.status = takeIn(list);
    const QByteArray form = recordForm(text);
    if (result.status.ok() && !holds(form, list)) {
        const qint64 before = m_appender.lockedSize();
        result.status = m_appender.append(text);
        // When only the record went out (no stray lines closed first), the
        // next look need not read it back.
        const qint64 after = m_appender.lockedSize();
        m_ownEnd = after == before + text.size() + kSepLen + 4 ? after : -1;
        if (result.status.ok())
            result.status = list.store(form);
        if (result.status.ok()) {
            note(form, list);
            result.stored = true;
        }
    }
    m_appender.unlock();
    return result;
}

CollectionFile::Imported CollectionFile::storeAllUnlessHeld(const FortuneList &incoming, FortuneList &list,
                                                            const ImportProgress &progress)
{
    // Whole records go out in writes of about this size: few enough writes to
    // keep pace with the reader, and a kill leaves whole records only.
    constexpr qsizetype kBatchBytes = 1024 * 1024;
    Imported result;
    if (result.status = m_appender.lock(); !result.status.ok())
        return result;
    result.status = takeIn(list);
    list.reserveBytes(incoming.storeBytes());
    QByteArray batch;
    batch.reserve(2 * kBatchBytes);
    qsizetype inBatch = 0;
    const auto flush = [&] {
        if (inBatch > 0 && result.status.ok())
            result.status = m_appender.appendRecords(batch);
        if (result.status.ok())
            result.added += inBatch;
        batch.resize(0); // keeps its room for the next batch
        inBatch = 0;
    };
    for (qsizetype i = 0; i < incoming.count() && result.status.ok(); ++i) {
        if (progress && i % 4096 == 0)
            progress(i, incoming.count());
        const QByteArrayView form = incoming.rawAt(i);
        if (!form.endsWith(kCrLf)) { // a record of no lines cannot be written as it is
            ++result.leftOut;
            continue;
        }
        if (holds(form, list)) {
            ++result.held;
            continue;
        }
        const QByteArrayView text = form.chopped(kCrLf.size());
        if (!refuseSeparatorLine(path(), text).ok()) {
            ++result.leftOut;
            continue;
        }
        if (result.status = list.store(form); !result.status.ok())
            break;
        note(form, list);
        appendRecordBytes(batch, text);
        ++inBatch;
        if (batch.size() >= kBatchBytes)
            flush();
    }
    flush();
    m_ownEnd = -1; // the next look reads what went out again: cheap, and never wrong
    m_appender.unlock();
    return result;
}

} // namespace fortune
