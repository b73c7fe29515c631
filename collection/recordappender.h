#pragma once

#include "fileio.h"
#include "fortunelist.h"

namespace fortune {

// The record writer: appends text, CR LF, the separator and CR LF to the file in
// one write, creating the file if needed. On any failure the file is cut back
// to its former length and the error comes back.
Status appendRecord(const QString &path, QByteArrayView text);

// The record writer for one that appends again and again: the file stays open
// between appends. Each append still makes sure the path names the file held
// open (reopening it when it was replaced or removed) and reads the file's real
// end, so whatever another program did to the file in between is dealt with.
// Stray lines (after the last separator: a hand edit) are closed as a record
// of their own first, so a new record never absorbs them.
//
// A kill can cut a write short: the system gives up a write to a file between
// two of its pages when the writer is killed, leaving the start of it. So a
// write that reaches past the end of a page leaves a note beside the file
// (PATH.writing) while it is under way, and the next writer that locks the
// file cuts back what is left of it after its last whole record. A torn
// fortune is never taken for stray lines, and stray lines are never cut.
class RecordAppender {
public:
    explicit RecordAppender(QString path);

    const QString &path() const { return m_path; }
    // As appendRecord.
    Status append(QByteArrayView text);
    // Whole records, each closed by its separator line, in one write (after
    // closing stray lines as append does).
    Status appendRecords(const QByteArray &records);
    // Lets go of the file; the next append opens it again.
    void close();

    // Opens the file (again, when the path names another file now), for one
    // that reads it before it locks it.
    Status open();
    // For one that reads the file before it writes: opens the file and locks
    // it against other writers until unlock(); appends in between keep to
    // that file. Once it is locked, what a killed writer left of its last
    // write is cut back and stray lines are closed, so the file ends with a
    // separator line. lock() waits for another holder as OpenFile::lock does;
    // tryLock() never waits and sets busy when another writer holds it.
    Status lock();
    Status tryLock(bool &busy);
    void unlock();
    OpenFile &file() { return m_file; }
    // The file's size while it is locked (appends add to it), otherwise -1.
    qint64 lockedSize() const { return m_lockedSize; }
    // Counts the opens, so a caller can tell the file may have changed.
    quint64 opens() const { return m_opens; }

private:
    Status openAtPath();
    Status locked(OpenFile::LockTry got);
    Status settle();
    Status cutUnfinishedWrite();
    Status closeStrayLines(qint64 size, QByteArrayView next, QByteArray &payload);
    Status write(const QByteArray &payload, qint64 formerSize);
    QString notePath() const { return m_path + QStringLiteral(".writing"); }

    QString m_path;
    OpenFile m_file;
    qint64 m_markSize = 0; // a UTF-8 byte-order mark before the first line
    quint64 m_opens = 0;
    qint64 m_lockedSize = -1;
    qint64 m_settledAt = -1; // the size at which this program last saw the file end with a separator line
};

} // namespace fortune
