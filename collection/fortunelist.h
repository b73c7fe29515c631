#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QString>
#include <QStringView>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace fortune {

class TermScanner;

// The list holds slots 0 to 1,000,000; slots from count() upwards are empty.
inline constexpr qsizetype kSlotCount = 1'000'001;

// Long work on the window's thread (a load, a search, a store's look at the
// file) goes in slices of about this length, so that the window gets back to
// its event loop at least once a frame.
inline constexpr std::chrono::milliseconds kSlice{5};

// Outcome of an operation that can fail: empty error means success.
struct Status {
    QString error;
    bool ok() const { return error.isEmpty(); }
    static Status failure(QString message) { return Status{std::move(message)}; }
};

// All fortunes of this run, in the order stored. The texts live back to back in
// one byte store (UTF-8 as read from disk, never rewritten) with one offset per
// fortune, so a million fortunes cost little more than the file itself and only
// the fortune on show is ever decoded.
class FortuneList {
public:
    FortuneList();
    ~FortuneList();
    FortuneList(const FortuneList &) = delete;
    FortuneList &operator=(const FortuneList &) = delete;

    qsizetype count() const;
    bool isFull() const { return count() >= kSlotCount; }
    // A bulk append (a load) is under way: the list may be read, slot by
    // slot and searched, but nothing else may be stored until it ends.
    bool isLoading() const { return m_loading; }

    // Raw bytes of slot i; empty for every slot from count() upwards and for any
    // index outside the table. The view is valid until the next store or load.
    QByteArrayView rawAt(qsizetype i) const;
    // Slot i as text: UTF-8, or Windows-1252 where the bytes are not valid UTF-8.
    QString textAt(qsizetype i) const;

    // The store step: put text at index count() and raise the count by one.
    // Refused, with a message and nothing changed, once all slots are used.
    Status store(QByteArrayView text);
    // The store step for every record of more, in order: one copy for all.
    // Refused, with nothing changed, when they do not all fit.
    Status storeAll(const FortuneList &more);
    // The store step unless the list holds the text already (false then),
    // for a list kept free of repeats: one lookup for both. The list must
    // have room, and text must not be a slot of this list.
    bool storeIfNew(QByteArrayView text);
    // Empties the list and keeps its room, for a scratch list used again.
    void clear();

    // Is this exact text in slots 0 to count() - 1? Hash-indexed, not a scan.
    bool contains(QByteArrayView text) const;
    // The same, counting only the slots that accept takes.
    bool contains(QByteArrayView text, const std::function<bool(qsizetype)> &accept) const;
    // A slot holding exactly this text, or -1.
    qsizetype indexOf(QByteArrayView text) const;
    // The lookups above build an index of the slots when they first need it
    // (and bring it up to date after a load): this does that work ahead, as
    // much as fits before deadline. True once the index is whole.
    bool prepareLookups(QDeadlineTimer deadline) const;

    // How many of slots 0 to count() - 1 contain term, ignoring letter case for
    // every letter (not only a-z). An empty term is found in every non-empty fortune.
    qsizetype countContaining(QStringView term) const;
    // The slots countContaining counts, in order.
    std::vector<qsizetype> indexesContaining(QStringView term) const;
    class Count;

    // Bytes held by the store (for the memory benchmark and tests).
    qsizetype storeBytes() const;
    // Room for about this many more bytes of fortune text, for a reader that
    // knows how much is coming.
    void reserveBytes(qsizetype bytes);

    class Bulk;

private:
    struct Index;
    void buildIndex() const;
    bool indexUpTo(QDeadlineTimer deadline) const;
    template <typename Accept>
    qsizetype find(QByteArrayView text, const Accept &accept) const;
    // Keeps the lookup index (when built) up to date with the slots added.
    void recordsAdded();
    Status refuseWhileLoading() const;
    // Records from m_checkedUtf8 upwards have not been checked for valid UTF-8 yet;
    // m_notUtf8 lists, in order, those checked and found to be Windows-1252.
    bool checkEncodings(qsizetype upTo, QDeadlineTimer deadline) const;
    bool isUtf8Record(qsizetype i) const;

    QByteArray m_store;
    std::vector<qsizetype> m_ends; // m_ends[i] is one past the last byte of slot i
    mutable std::unique_ptr<Index> m_index;
    mutable std::vector<quint32> m_notUtf8;
    mutable qsizetype m_checkedUtf8 = 0;
    bool m_loading = false;
};

// countContaining done piece by piece, for the window's thread: over the
// slots the list holds when it begins, whatever is stored meanwhile.
class FortuneList::Count {
public:
    // onHit, when given, is told each slot that counts (in no particular order).
    Count(const FortuneList &list, QStringView term, std::function<void(qsizetype)> onHit = {});
    ~Count();
    // Counts on until deadline has passed; true once done.
    bool step(QDeadlineTimer deadline);
    qsizetype hits() const { return m_hits; }

private:
    void hit(qsizetype slot)
    {
        ++m_hits;
        if (m_onHit)
            m_onHit(slot);
    }

    const FortuneList &m_list;
    const qsizetype m_count;
    std::vector<char32_t> m_folded;
    std::unique_ptr<TermScanner> m_scanner;
    std::function<void(qsizetype)> m_onHit;
    qsizetype m_next = 0;   // the first slot not searched yet
    bool m_legacyDone = false;
    qsizetype m_hits = 0;
};

// The bulk append, for a reader that copies a file's text straight into the
// list: bytes go to the end of the store as they come, close() ends a record
// there, and finish() makes the records found by lookups and drops bytes
// after the last record. Nothing else may be stored while one is open
// (isLoading()); reading is fine. Tuned:
// a record costs one copy and a separator just fixes its end.
class FortuneList::Bulk {
public:
    explicit Bulk(FortuneList &list);

    // Room for about this many more bytes and records; untouched room costs
    // address space only.
    void reserve(qsizetype bytes, qsizetype records);
    void append(const char *p, qsizetype n)
    {
        if (m_write + n > m_list.m_store.size())
            grow(n);
        std::memcpy(m_list.m_store.data() + m_write, p, size_t(n));
        m_write += n;
    }
    // Ends a record at what was appended so far; false when the list is full.
    bool close()
    {
        if (m_list.isFull())
            return false;
        m_list.m_ends.push_back(m_write);
        return true;
    }
    void finish();

private:
    void grow(qsizetype n);

    FortuneList &m_list;
    qsizetype m_write; // end of the bytes appended so far
};

// A fortune with nothing to read: no text, or only line breaks, spaces and
// tabs. The window shows such a record as it is; what hands fortunes on (a
// random pick, a file in another format) leaves it out. True for a text
// exactly when it is true for every piece of it.
bool isEmptyFortune(QByteArrayView text);

// What a search says: "n fortunes contain 'term'." (no singular form, the term
// as typed, nothing escaped), for the window and the command line alike.
QString searchMessage(qsizetype hits, QStringView term);

} // namespace fortune
