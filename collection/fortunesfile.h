#pragma once

#include "fileio.h"
#include "fortunelist.h"

#include <functional>

namespace fortune {

struct LoadResult {
    enum class Outcome {
        Loaded,  // the whole file was read
        Missing, // the file does not exist; nothing stored
        Failed,  // the file exists but could not be read; error says why
        Full,    // the list filled up; records up to that point were stored
    };
    Outcome outcome = Outcome::Loaded;
    qsizetype stored = 0; // records stored by this load
    QString error;        // set for Failed and Full (and Missing, for callers that report it)
};

// Called now and then while a file loads (every few dozen milliseconds, never
// once per record) with the list's count, so a label can show it rising.
using LoadProgress = std::function<void(qsizetype count)>;

// Reads a fortunes file and runs the store step for every record, after what
// the list already holds. A record is the lines before a line that is exactly
// the separator; lines after the last separator are dropped. Lines end with
// CR LF or a lone LF (a CR right before the LF is dropped); the end of the file
// ends the last line. Each stored fortune has CR LF after every line. A UTF-8
// byte-order mark is not text; a UTF-16 file (with its mark) is read as such.
// The file is opened as every reader of the collection opens it (OpenFile).
LoadResult loadFortunesFile(const QString &path, FortuneList &list,
                            const LoadProgress &progress = {});

// The records of part of an open UTF-8 fortunes file, for one that follows
// the file as it grows: bytes [from, to), stopping once the records read
// reach `enough` bytes past from (0: read all). Offsets are the file's.
struct RecordScan {
    LoadResult result;
    qint64 firstSeparatorAt = -1; // where the first separator line read begins
    qint64 lastSeparatorAt = -1;  // where the last one begins
};
RecordScan scanRecords(OpenFile &file, qint64 from, qint64 to, qint64 enough, FortuneList &list);

// The text exactly as loadFortunesFile would give it back after appendRecord
// wrote it: every line followed by CR LF. The duplicate test compares this form.
QByteArray recordForm(QByteArrayView text);

// The record writer: appends text, CR LF, the separator and CR LF to the file in
// one write, creating the file if needed. On any failure the file is cut back
// to its former length and the error comes back.
Status appendRecord(const QString &path, QByteArrayView text);

// The record writer for one that appends again and again: the file stays open
// between appends. Each append still makes sure the path names the file held
// open (reopening it when it was replaced or removed) and reads the file's real
// end, so whatever another program did to the file in between is dealt with.
// Lines after the last separator (a hand edit, another program's crash) are
// closed as a record of their own first, so a new record never absorbs them.
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

// The collection file as the download loop sees it. A downloaded fortune is
// stored unless the file holds it already, whoever put it there: the file as
// it was loaded at start, this program's earlier downloads, another window
// downloading into the same file, a hand edit. Fortunes that only "Reload"
// brought into the list do not count. Looking and writing happen under a lock
// that every other writer of this program honours.
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
    };
    // The file first, then the list (in the record form), unless the file
    // holds the fortune. Refused when the list is full.
    Stored storeUnlessHeld(QByteArrayView text, FortuneList &list);
    struct Imported {
        Status status;           // why the import stopped early; what went out before stays
        qsizetype added = 0;     // stored in the file and the list
        qsizetype held = 0;      // the file held them already (or an earlier one of incoming did)
        qsizetype leftOut = 0;   // no lines at all, or a line is exactly the separator
    };
    // Called now and then with how many of incoming were looked at.
    using ImportProgress = std::function<void(qsizetype done, qsizetype total)>;
    // storeUnlessHeld for every record of incoming (in the record form, as a
    // loader gives them), in order, under one lock, in large writes that
    // each hold whole records only.
    Imported storeAllUnlessHeld(const FortuneList &incoming, FortuneList &list,
                                const ImportProgress &progress = {});
    // Lets go of the file; what is known of it is kept for the next store.
    void close() { m_appender.close(); }

private:
    Status takeIn(FortuneList &list);
    void note(QByteArrayView record, FortuneList &list);
    bool holds(QByteArrayView form, const FortuneList &list) const;
    void forget();

    RecordAppender m_appender;
    quint64 m_opens = 0;
    FileId m_fileId;
    qint64 m_resumeAt = -1;       // where the last separator line taken in begins
    qsizetype m_nextGuess = 0;    // the slot of the list the next record read may be in
    qint64 m_ownEnd = -1;         // the file's end after this program's own last record
    std::vector<bool> m_inFile;   // by slot of the list: the file holds that text
    std::unique_ptr<FortuneList> m_elsewhere; // texts of the file the list does not hold
};

} // namespace fortune
