#include "collectionfile.h"

#include "fortunesreader.h"

#include <algorithm>

namespace fortune {

namespace {

// The records a take-in reads into memory at a time.
constexpr qint64 kTakeInStep = 8 * 1024 * 1024;

} // namespace

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
    if (i < 0) {
        m_nextGuess = 0;
        m_elsewhere->store(record);
        return;
    }
    markInFile(i);
}

void CollectionFile::markInFile(qsizetype slot)
{
    m_nextGuess = slot + 1;
    if (size_t(slot) >= m_inFile.size())
        m_inFile.resize(size_t(slot) + 1, false);
    m_inFile[size_t(slot)] = true;
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
    if (m_resumeAt >= 0 && size < m_resumeAt + kSeparator.size())
        forget();
    if (size == m_ownEnd) { // nothing came after this program's own last record
        m_resumeAt = size - kSeparator.size() - 2;
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
        result.status = Status::failure(listFullMessage());
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
        m_ownEnd = after == before + text.size() + kRecordOverhead ? after : -1;
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
    // The file first: a batch's records go into the list once it is written;
    // till then a small list of their own finds the ones incoming repeats.
    FortuneList pending;
    const auto flush = [&] {
        Status written;
        if (pending.count() > 0)
            written = m_appender.appendRecords(batch);
        if (written.ok()) {
            const qsizetype first = list.count();
            list.storeAll(pending); // room was looked at before each record went in
            for (qsizetype i = first; i < list.count(); ++i)
                markInFile(i);
            result.added += pending.count();
        }
        batch.resize(0); // keeps its room for the next batch
        pending.clear();
        return written;
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
        if (holdsSeparatorLine(text)) {
            ++result.leftOut;
            continue;
        }
        // A repeat of an earlier record of incoming still in the batch is held.
        if (list.count() + pending.count() >= kSlotCount) {
            if (pending.contains(form)) {
                ++result.held;
                continue;
            }
            result.status = Status::failure(listFullMessage());
            break;
        }
        if (!pending.storeIfNew(form)) {
            ++result.held;
            continue;
        }
        appendRecordBytes(batch, text);
        if (batch.size() >= kBatchBytes)
            result.status = flush();
    }
    if (Status written = flush(); !written.ok())
        result.status = written;
    m_ownEnd = -1; // the next look reads what went out again: cheap, and never wrong
    m_appender.unlock();
    return result;
}

} // namespace fortune
