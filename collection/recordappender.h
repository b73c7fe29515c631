#pragma once

#include "fileio.h"
#include "fortunelist.h"

namespace fortune {

// The record writer. Records go to the end of the file in one write each
// batch, under a lock that every writer of this program honours, and only
// after the file has been made whole: what a killed writer left of its last
// write is cut back, and stray lines (after the last separator: a hand edit)
// are closed as a record of their own, so a new record never absorbs them.
// The file stays open between appends; each one makes sure the path still
// names the file held open (reopening it when it was replaced or removed) and
// writes at the file's real end.
//
// The write note: an intent log beside the file, PATH.writing
// -----------------------------------------------------------
// The system gives up the write of a killed program only where a page of the
// file ends (4096 bytes, or a multiple of it where pages are larger), leaving
// the start of it. A write that stays within one page is there whole or not
// at all; a write that reaches into another page is guarded by a note:
//
// - Every write and every look at a note happens under the file's lock. The
//   note is looked at each time the lock is taken, whenever one stands there;
//   an append made without the lock takes it for itself.
// - The note is made only as a new regular file of its own (an exclusive
//   create). What stands at its path is removed only when it is a regular
//   file with one link; a symbolic or hard link, a folder, a pipe or a device
//   there is never opened, written through, read or removed.
// - When the note cannot be made, the write that needs it is refused with a
//   message naming the note's path and the reason: nothing is ever written
//   unguarded.
// - It names the write exactly, and is whole before the write begins:
//   "write FROM LENGTH D1 ... Dn", the write's first byte in the file, its
//   length, and for each page end inside the write a digest of the write's
//   bytes between the page end before it (or the write's start) and it.
// - Once the write is done, or a failed write was cut back, the note goes.
// - Recovery: the file may hold the start of the noted write only when it
//   ends at a page end inside the write and its bytes from the write's start
//   match the digests up to there. Then whatever follows the last record that
//   closes in those bytes, by the reader's own rule (scanRecords), is cut
//   off. Nothing else is ever cut: not stray lines, not records with any line
//   ends, not what another program wrote, and nothing at all when the note is
//   not one of these (another form, fields that do not fit the file).
// - The recovery cuts first and removes the note last: a kill at any moment
//   leaves the note, to be looked at again, or a file that needs none. To
//   look again is harmless: a file cut back no longer ends inside the write,
//   or ends at its last whole record.
class RecordAppender {
public:
    explicit RecordAppender(QString path);

    const QString &path() const { return m_path; }
    // Whole records, each closed by its separator line (appendRecordBytes),
    // in one write after closing stray lines. Into the locked file; without
    // the lock it is taken for this append alone, waiting as lock() does.
    // On any failure the file is cut back to its former length and the
    // error, with the system's reason, comes back.
    Status appendRecords(QByteArrayView records);
    // Lets go of the file; the next append opens it again.
    void close();

    // Opens the file (again, when the path names another file now), for one
    // that reads it before it locks it.
    Status open();
    // For one that reads the file before it writes: opens the file and locks
    // it against other writers until unlock(); appends in between keep to
    // that file, which ends with a separator line once it is locked (the
    // recovery above, then stray lines closed). lock() waits for another
    // holder as OpenFile::lock does; tryLock() never waits and sets busy
    // when another writer holds it.
    Status lock();
    Status tryLock(bool &busy);
    void unlock();
    OpenFile &file() { return m_file; }
    // The file's size while it is locked (appends add to it), otherwise -1.
    qint64 lockedSize() const { return m_lockedSize; }
    // Counts the opens, so a caller can tell the file may have changed.
    quint64 opens() const { return m_opens; }

    // The steps of a guarded write and of a recovery, for tests that stop
    // the writer at each one. The observer is called at every step when set;
    // the program never sets it.
    enum class Step {
        Noting,      // under the lock, before the note is made
        Noted,       // the note made, the write not begun
        Written,     // the write returned
        Unnoting,    // the note about to go (a failed write cut back before)
        Recovering,  // a recovery about to cut the file
        RecoveryCut, // a recovery cut the file, its note not gone yet
    };
    using StepObserver = void (*)(Step);
    static void setStepObserverForTests(StepObserver observer);

private:
    Status openAtPath();
    Status locked(OpenFile::LockTry got);
    Status settle();
    Status recover();
    Status closeStrayLines(qint64 size, QByteArrayView next, QByteArray &payload);
    Status write(QByteArrayView payload, qint64 formerSize);
    QString notePath() const { return m_path + QStringLiteral(".writing"); }

    QString m_path;
    OpenFile m_file;
    qint64 m_markSize = 0; // a UTF-8 byte-order mark before the first line
    quint64 m_opens = 0;
    qint64 m_lockedSize = -1;
    qint64 m_settledAt = -1; // the size at which this program last saw the file end with a separator line
};

// One record for one that stores now and then: the file locked (waiting),
// made whole, the record written, the lock let go. A text with a line that
// is exactly the separator is refused (separatorLineReason).
Status appendRecord(const QString &path, QByteArrayView text);

} // namespace fortune
