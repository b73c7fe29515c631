#pragma once

#include "fortunelist.h"
#include "growingfile.h"
#include "recordappender.h"

#include <functional>
#include <memory>
#include <vector>

namespace fortune {

// The collection file as the download loop and the import see it. A fortune
// is stored unless the file holds it already, whoever put it there: the file
// as it was loaded at start, this program's earlier downloads, another window
// downloading into the same file, a hand edit. Fortunes that only "Reload"
// brought into the list do not count. Writing happens under a lock that every
// other writer of this program honours, and is short: what the file holds is
// read without the lock (writers append whole records, and the record a
// writer is still writing is left for the next look), under the lock only
// what came since. An import takes the lock per batch, so other writers get
// their turns.
//
// Invariant, whenever no store is under way: every record of the file up to
// the last separator line taken in (m_follower's resume point) is held, in the record form,
// either by a slot i of the list with m_inFile[i] set or by m_elsewhere; a
// slot marked so holds a text the file holds. Every store writes the file
// first and puts a record in the list only once its write returned, so the
// list never holds what a failed write left out.
class CollectionFile {
public:
    explicit CollectionFile(QString path);
    ~CollectionFile();
    CollectionFile(const CollectionFile &) = delete;
    CollectionFile &operator=(const CollectionFile &) = delete;

    const QString &path() const { return m_appender.path(); }

    struct Stored {
        Status status;       // the store failed, nothing changed
        bool stored = false; // false when the file held the fortune already
        // A line of it is exactly the separator (separatorLineReason): never
        // stored, nothing changed.
        bool leftOut = false;
        // Not done yet: nothing was written; call again with the same text,
        // soon or once the lock may be free. Only when told not to wait, or
        // (Soon) while a load of the list is under way, which no wait here
        // could see end.
        enum class Again { No, Soon, Locked };
        Again again = Again::No;
    };
    // The file first, then the list (in the record form), unless the file
    // holds the fortune or cannot hold it (leftOut). Refused when the list is
    // full. Without a slice it waits for another writer's lock by sleeping
    // (kLockPatience at most).
    // With one, for the window's thread, it never waits: it does what fits
    // before the slice has passed (reading what the file gained, preparing the
    // list's lookups) and comes back with Again::Soon while more is to do or a
    // load of the list is under way, with Again::Locked while another writer
    // holds the lock.
    Stored storeUnlessHeld(QByteArrayView text, FortuneList &list,
                           QDeadlineTimer slice = QDeadlineTimer(QDeadlineTimer::Forever));
    // Why a store gives up on a lock held for longer than it waits.
    Status lockedOut() const;
    struct Imported {
        Status status;           // why the import stopped early; what went out before stays
        qsizetype added = 0;     // stored in the file and the list
        qsizetype held = 0;      // the file held them already (or an earlier one of incoming did)
        qsizetype leftOut = 0;   // no lines at all, or a line is exactly the separator
    };
    // Called now and then with how many of incoming were looked at (never
    // while the file is locked).
    using ImportProgress = std::function<void(qsizetype done, qsizetype total)>;
    // storeUnlessHeld for every record of incoming (in the record form, as a
    // loader gives them), in order, in large writes that each hold whole
    // records only. Each batch is gathered without the lock and written
    // under it, after taking in (and leaving out) what other writers stored
    // meanwhile; its records go into the list once it is written.
    Imported storeAllUnlessHeld(const FortuneList &incoming, FortuneList &list,
                                const ImportProgress &progress = {});
    // Lets go of the file; what is known of it is kept for the next store.
    void close() { m_appender.close(); }

private:
    Status catchUp(FortuneList &list, QDeadlineTimer deadline, bool &done);
    Status takeIn(FortuneList &list, qint64 size, QDeadlineTimer deadline, bool &done);
    Status writeBatch(QByteArray &batch, FortuneList &pending, FortuneList &list, Imported &result);
    void note(QByteArrayView record, FortuneList &list);
    void markInFile(qsizetype slot);
    bool holds(QByteArrayView form, const FortuneList &list) const;
    void forget();

    RecordAppender m_appender;
    quint64 m_opens = 0;
    GrowingFile m_follower;       // what of the file was taken in
    qsizetype m_nextGuess = 0;    // the slot of the list the next record read may be in
    qint64 m_ownEnd = -1;         // the file's end after this program's own last write
    quint64 m_noted = 0;          // records taken in so far
    std::vector<bool> m_inFile;   // by slot of the list: the file holds that text
    std::unique_ptr<FortuneList> m_elsewhere; // texts of the file the list does not hold
};

} // namespace fortune
