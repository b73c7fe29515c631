#include "collectionfile.h"

#include "fortunesreader.h"

#include <algorithm>

namespace fortune {

namespace {

// The records a take-in reads into memory at a time; for one in slices, the
// records between two looks at the clock.
constexpr qint64 kTakeInStep = 8 * 1024 * 1024;
constexpr qint64 kTakeInSliceStep = 512 * 1024;

} // namespace

CollectionFile::CollectionFile(QString path)
    : m_appender(std::move(path)), m_elsewhere(std::make_unique<FortuneList>())
{
}

CollectionFile::~CollectionFile() = default;

// Forgets what the list knows of the file; the follower knows where it is.
void CollectionFile::forget()
{
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
    ++m_noted;
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

// Reads the records the file gained since the last look (up to size), until
// the deadline: at the first store all of it, later what this program and any
// other writer appended. A file replaced or rewritten is read again from its
// start (GrowingFile).
Status CollectionFile::takeIn(FortuneList &list, qint64 size, QDeadlineTimer deadline, bool &done)
{
    done = false;
    OpenFile &file = m_appender.file();
    if (m_appender.opens() != m_opens) {
        m_opens = m_appender.opens();
        if (!m_follower.opened(file.id()))
            forget();
    }
    if (size == m_ownEnd) { // nothing came after this program's own last write
        done = true;
        return {};
    }
    const qint64 step = deadline.isForever() ? kTakeInStep : kTakeInSliceStep;
    // Found rewritten again within the same look, it is being rewritten all
    // the time (by a program that ignores the lock) or reads differently each
    // time: give up rather than read it forever.
    int restarts = 0;
    for (;;) {
        FortuneList found;
        const GrowingFile::Look look = m_follower.look(file, size, found, step);
        if (look.result.outcome == LoadResult::Outcome::Failed)
            return Status::failure(look.result.error);
        if (look.startedOver) {
            forget();
            if (++restarts > 2) {
                return Status::failure(fileMessage(FileAccess::Read, FileProblem::Failed, path(),
                                                   QStringLiteral("it changes while it is read (does "
                                                                  "another program rewrite it?)")));
            }
        }
        for (qsizetype i = look.firstNew; i < found.count(); ++i)
            note(found.rawAt(i), list);
        if (look.done) {
            done = true;
            return {};
        }
        if (deadline.hasExpired())
            return {};
    }
}

// What the file gained, read without the lock, and the list ready for lookups.
Status CollectionFile::catchUp(FortuneList &list, QDeadlineTimer deadline, bool &done)
{
    done = false;
    if (Status opened = m_appender.open(); !opened.ok())
        return opened;
    if (!list.prepareLookups(deadline))
        return {};
    const qint64 size = m_appender.file().size();
    if (size < 0)
        return Status::failure(m_appender.file().message(FileAccess::Read));
    return takeIn(list, size, deadline, done);
}

CollectionFile::Stored CollectionFile::storeUnlessHeld(QByteArrayView text, FortuneList &list, QDeadlineTimer slice)
{
    Stored result;
    QByteArray record;
    record.reserve(text.size() + kRecordOverhead);
    if (!appendRecordBytes(record, text)) {
        result.leftOut = true;
        return result;
    }
    if (list.isFull()) {
        result.status = Status::failure(listFullMessage());
        return result;
    }
    if (list.isLoading()) { // its records go in first
        result.again = Stored::Again::Soon;
        return result;
    }
    bool caughtUp = false;
    if (result.status = catchUp(list, slice, caughtUp); !result.status.ok())
        return result;
    if (!caughtUp) {
        result.again = Stored::Again::Soon;
        return result;
    }
    if (slice.isForever()) {
        result.status = m_appender.lock();
    } else {
        bool busy = false;
        result.status = m_appender.tryLock(busy);
        if (busy) {
            result.again = Stored::Again::Locked;
            return result;
        }
    }
    if (!result.status.ok())
        return result;
    bool tookIn = false;
    result.status = takeIn(list, m_appender.lockedSize(), QDeadlineTimer(QDeadlineTimer::Forever), tookIn);
    const QByteArray form = recordForm(text);
    if (result.status.ok() && !holds(form, list)) {
        const qint64 before = m_appender.lockedSize();
        result.status = m_appender.appendRecords(record);
        // When only the record went out, the next look need not read it back.
        const qint64 after = m_appender.lockedSize();
        m_ownEnd = after == before + record.size() ? after : -1;
        if (m_ownEnd >= 0)
            m_follower.appended(m_ownEnd);
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

Status CollectionFile::lockedOut() const
{
    return Status::failure(fileMessage(FileAccess::Write, FileProblem::Locked, path()));
}

CollectionFile::Imported CollectionFile::storeAllUnlessHeld(const FortuneList &incoming, FortuneList &list,
                                                            const ImportProgress &progress)
{
    // Whole records go out in writes of about this size: few enough writes to
    // keep pace with the reader, short enough for other writers' turns.
    constexpr qsizetype kBatchBytes = 1024 * 1024;
    Imported result;
    bool caughtUp = false;
    if (result.status = catchUp(list, QDeadlineTimer(QDeadlineTimer::Forever), caughtUp); !result.status.ok())
        return result;
    list.reserveBytes(incoming.storeBytes());
    QByteArray batch;
    batch.reserve(2 * kBatchBytes);
    // The file first: a batch's records go into the list once it is written;
    // till then a small list of their own finds the ones incoming repeats.
    FortuneList pending;
    qsizetype i = 0;
    while (result.status.ok()) {
        for (; i < incoming.count() && batch.size() < kBatchBytes; ++i) {
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
            const qsizetype end = batch.size();
            if (!appendRecordBytes(batch, form.chopped(kCrLf.size()))) {
                ++result.leftOut;
                continue;
            }
            // A repeat of an earlier record of incoming still in the batch is held.
            if (list.count() + pending.count() >= kSlotCount) {
                batch.truncate(end);
                if (pending.contains(form)) {
                    ++result.held;
                    continue;
                }
                result.status = Status::failure(listFullMessage());
                break;
            }
            if (!pending.storeIfNew(form)) {
                batch.truncate(end);
                ++result.held;
                continue;
            }
        }
        if (pending.count() == 0)
            break;
        if (Status written = writeBatch(batch, pending, list, result); !written.ok())
            result.status = written;
        batch.resize(0); // keeps its room for the next batch
        pending.clear();
    }
    return result;
}

// One batch under the lock. What other writers stored since the batch was
// gathered is taken in first and left out of it.
Status CollectionFile::writeBatch(QByteArray &batch, FortuneList &pending, FortuneList &list, Imported &result)
{
    if (Status locked = m_appender.lock(); !locked.ok())
        return locked;
    const quint64 noted = m_noted;
    bool tookIn = false;
    Status status = takeIn(list, m_appender.lockedSize(), QDeadlineTimer(QDeadlineTimer::Forever), tookIn);
    if (status.ok() && m_noted != noted) {
        FortuneList kept;
        batch.resize(0);
        for (qsizetype j = 0; j < pending.count(); ++j) {
            const QByteArrayView form = pending.rawAt(j);
            if (holds(form, list)) {
                ++result.held;
                continue;
            }
            kept.store(form);
            // Gathered once already, so it holds no separator line.
            static_cast<void>(appendRecordBytes(batch, form.chopped(kCrLf.size())));
        }
        pending.clear();
        pending.storeAll(kept);
    }
    if (status.ok() && pending.count() > 0) {
        status = m_appender.appendRecords(batch);
        if (status.ok()) {
            const qsizetype first = list.count();
            list.storeAll(pending); // room was looked at before each record went in
            for (qsizetype i = first; i < list.count(); ++i)
                markInFile(i);
            result.added += pending.count();
            m_ownEnd = m_appender.lockedSize(); // the batch ends the file: the next look need not read it
            m_follower.appended(m_ownEnd);
        }
    }
    m_appender.unlock();
    return status;
}

} // namespace fortune
