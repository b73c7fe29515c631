#pragma once

#include "fortunelist.h"
#include "recordappender.h"

#include <functional>
#include <memory>
#include <vector>

namespace fortune {

// The collection file as the download loop and the import see it. A fortune
// is stored unless the file holds it already, whoever put it there: the file
// as it was loaded at start, this program's earlier downloads, another window
// downloading into the same file, a hand edit. Fortunes that only "Reload"
// brought into the list do not count. Looking and writing happen under a lock
// that every other writer of this program honours.
//
// Invariant, whenever no store is under way: every record of the file up to
// the last separator line taken in (m_resumeAt) is held, in the record form,
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
    // each hold whole records only; a batch's records go into the list once
    // the batch is written.
    Imported storeAllUnlessHeld(const FortuneList &incoming, FortuneList &list,
                                const ImportProgress &progress = {});
    // Lets go of the file; what is known of it is kept for the next store.
    void close() { m_appender.close(); }

private:
    Status takeIn(FortuneList &list);
    void note(QByteArrayView record, FortuneList &list);
    void markInFile(qsizetype slot);
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
