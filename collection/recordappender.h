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
// Stray lines (after the last separator: a hand edit, another program's
// crash) are closed as a record of their own first, so a new record never
// absorbs them.
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

    // For one that reads the file before it writes: opens the file (again,
    // when the path names another file now) and locks it against other
    // writers until unlock(). Appends in between keep to that file.
    Status lock();
    void unlock();
    OpenFile &file() { return m_file; }
    // The file's size while it is locked (appends add to it), otherwise -1.
    qint64 lockedSize() const { return m_lockedSize; }
    // Counts the opens, so a caller can tell the file may have changed.
    quint64 opens() const { return m_opens; }

private:
    Status openAtPath();
    Status closeStrayLines(qint64 size, QByteArrayView next, QByteArray &payload);
    Status write(const QByteArray &payload, qint64 formerSize);

    QString m_path;
    OpenFile m_file;
    qint64 m_markSize = 0; // a UTF-8 byte-order mark before the first line
    quint64 m_opens = 0;
    qint64 m_lockedSize = -1;
};

} // namespace fortune
