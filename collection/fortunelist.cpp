#include "fortunelist.h"
#include "fortunesformat.h"
#include "textdecoding.h"
#include "textscan.h"

#include <QChar>
#include <QList>

#include <algorithm>
#include <array>
#include <cstring>

#if defined(Q_OS_LINUX)
#include <sys/mman.h>
#endif

namespace fortune {

namespace {

// Multiply-xorshift over 8-byte words: fast for the short texts a fortune has,
// and good enough to spread them over an open-addressing table.
quint64 hashBytes(QByteArrayView bytes)
{
    constexpr quint64 k = 0x9FB21C651E98DF25ull;
    const char *p = bytes.data();
    qsizetype n = bytes.size();
    quint64 h = 0x9E3779B97F4A7C15ull ^ (quint64(n) * k);
    while (n >= 8) {
        quint64 w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * k;
        h ^= h >> 29;
        p += 8;
        n -= 8;
    }
    if (n > 0) {
        quint64 w = 0;
        std::memcpy(&w, p, size_t(n));
        h = (h ^ w) * k;
    }
    h ^= h >> 32;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return h;
}

// The store of a big file is filled once, front to back: with huge pages that
// costs a few hundred page faults instead of tens of thousands.
void adviseHugePages(void *data, qsizetype size)
{
#if defined(Q_OS_LINUX) && defined(MADV_HUGEPAGE)
    constexpr quintptr kHuge = 2 * 1024 * 1024;
    const quintptr begin = (quintptr(data) + kHuge - 1) & ~(kHuge - 1);
    const quintptr end = (quintptr(data) + quintptr(size)) & ~(kHuge - 1);
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    Q_UNUSED(data);
    Q_UNUSED(size);
#endif
}

} // namespace

// Open addressing over record indices. A slot holds 0 (free) or the record
// index + 1 in its low 20 bits and 12 bits of the text's hash above them, so a
// probe almost never has to look at the bytes of a record that does not match.
struct FortuneList::Index {
    static constexpr int kIndexBits = 20;
    static_assert(kSlotCount < (1 << kIndexBits), "record index must fit the slot");
    static constexpr quint32 kIndexMask = (1u << kIndexBits) - 1;

    std::vector<quint32> table;
    quint32 mask = 0;
    qsizetype entries = 0;

    static quint32 tagOf(quint64 h) { return quint32(h >> 52) << kIndexBits; }

    void reset(qsizetype expected)
    {
        qsizetype size = 1024;
        while (size < 2 * expected)
            size *= 2;
        table.assign(size_t(size), 0);
        mask = quint32(size - 1);
        entries = 0;
    }

    void insert(quint64 h, qsizetype record)
    {
        quint32 pos = quint32(h) & mask;
        while (table[pos] != 0)
            pos = (pos + 1) & mask;
        table[pos] = tagOf(h) | quint32(record + 1);
        ++entries;
    }
};

FortuneList::FortuneList() = default;
FortuneList::~FortuneList() = default;

qsizetype FortuneList::count() const
{
    return qsizetype(m_ends.size());
}

QByteArrayView FortuneList::rawAt(qsizetype i) const
{
    if (i < 0 || i >= count())
        return {};
    const qsizetype begin = i == 0 ? 0 : m_ends[size_t(i - 1)];
    return QByteArrayView(m_store.constData() + begin, m_ends[size_t(i)] - begin);
}

QString FortuneList::textAt(qsizetype i) const
{
    return decodeFortune(rawAt(i));
}

// While a load is under way the store holds room it reserved that is not yet
// records: anything appended after it would take that room in. Callers wait
// for the load (the window does); this keeps a caller that does not from
// corrupting the list in a build without asserts.
Status FortuneList::refuseWhileLoading() const
{
    Q_ASSERT(!m_loading);
    if (m_loading)
        return Status::failure(QStringLiteral("the fortune list is still being loaded"));
    return {};
}

Status FortuneList::store(QByteArrayView text)
{
    if (Status loading = refuseWhileLoading(); !loading.ok())
        return loading;
    if (isFull())
        return Status::failure(listFullMessage());
    const char *storeBegin = m_store.constData();
    if (!text.isEmpty() && text.data() >= storeBegin && text.data() < storeBegin + m_store.size()) {
        // The text is a slot of this list; copy it before the store may move.
        const QByteArray copy = text.toByteArray();
        m_store.append(copy);
    } else {
        m_store.append(text.data(), text.size());
    }
    m_ends.push_back(m_store.size());
    recordsAdded();
    return {};
}

Status FortuneList::storeAll(const FortuneList &more)
{
    if (Status loading = refuseWhileLoading(); !loading.ok())
        return loading;
    if (count() + more.count() > kSlotCount)
        return Status::failure(listFullMessage());
    const qsizetype base = m_store.size();
    m_store.append(more.m_store.constData(), more.count() == 0 ? 0 : more.m_ends.back());
    for (const qsizetype end : more.m_ends)
        m_ends.push_back(base + end);
    recordsAdded();
    return {};
}

void FortuneList::clear()
{
    m_ends.clear();
    m_store.resize(0);
    if (m_index) {
        std::fill(m_index->table.begin(), m_index->table.end(), 0);
        m_index->entries = 0;
    }
    m_notUtf8.clear();
    m_checkedUtf8 = 0;
}

void FortuneList::recordsAdded()
{
    if (!m_index)
        return;
    if (2 * count() > qsizetype(m_index->table.size())) {
        m_index.reset(); // rebuilt, larger, when next needed
        return;
    }
    // A store or two are indexed at once; a load's many records when the index
    // is next needed, or ahead of that by prepareLookups, a slice at a time.
    constexpr qsizetype kIndexedAtOnce = 256;
    if (count() - m_index->entries <= kIndexedAtOnce)
        indexUpTo(QDeadlineTimer(QDeadlineTimer::Forever));
}


FortuneList::Bulk::Bulk(FortuneList &list)
    : m_list(list), m_write(list.m_store.size())
{
    m_list.m_loading = true;
}

void FortuneList::Bulk::reserve(qsizetype bytes, qsizetype records)
{
    m_list.m_store.resize(m_write + bytes + 64);
    m_list.m_ends.reserve(size_t(std::min(kSlotCount, m_list.count() + records)));
    adviseHugePages(m_list.m_store.data(), m_list.m_store.size());
    adviseHugePages(m_list.m_ends.data(), qsizetype(m_list.m_ends.capacity() * sizeof(qsizetype)));
}

void FortuneList::Bulk::grow(qsizetype n)
{
    m_list.m_store.resize(std::max(m_write + n, 2 * m_list.m_store.size()));
    adviseHugePages(m_list.m_store.data(), m_list.m_store.size());
}

void FortuneList::Bulk::finish()
{
    // Bytes after the last record belong to none.
    m_list.m_store.resize(m_list.count() == 0 ? 0 : m_list.m_ends.back());
    m_list.m_loading = false;
    m_list.recordsAdded();
}


bool FortuneList::contains(QByteArrayView text) const
{
    return indexOf(text) >= 0;
}

bool FortuneList::contains(QByteArrayView text, const std::function<bool(qsizetype)> &accept) const
{
    return find(text, accept) >= 0;
}

qsizetype FortuneList::indexOf(QByteArrayView text) const
{
    return find(text, [](qsizetype) { return true; });
}

void FortuneList::buildIndex() const
{
    indexUpTo(QDeadlineTimer(QDeadlineTimer::Forever));
}

bool FortuneList::prepareLookups(QDeadlineTimer deadline) const
{
    return indexUpTo(deadline);
}

// Indexes the slots not indexed yet, until deadline; true once all are. A
// table over half full is built anew, larger: room to grow by half before the
// next rebuild (a full list fits 2^21 entries).
bool FortuneList::indexUpTo(QDeadlineTimer deadline) const
{
    const qsizetype n = count();
    if (m_index && m_index->entries == n)
        return true;
    if (!m_index || 2 * n > qsizetype(m_index->table.size())) {
        m_index = std::make_unique<Index>();
        m_index->reset(std::min(n + n / 2, kSlotCount));
    }
    // Each insert lands at a random spot of a table far larger than the
    // cache: the spots of the next few are fetched while one is written.
    constexpr qsizetype kAhead = 8;
    constexpr qsizetype kBetweenLooks = 8192;
    quint64 hashes[kAhead];
    qsizetype to = m_index->entries;
    do {
        const qsizetype begin = to;
        to = std::min(n, to + kBetweenLooks);
        for (qsizetype i = begin; i < to + kAhead; ++i) {
            if (i - kAhead >= begin)
                m_index->insert(hashes[(i - kAhead) % kAhead], i - kAhead);
            if (i < to) {
                hashes[i % kAhead] = hashBytes(rawAt(i));
                __builtin_prefetch(&m_index->table[size_t(hashes[i % kAhead] & m_index->mask)], 1);
            }
        }
    } while (to < n && !deadline.hasExpired());
    return to == n;
}

bool FortuneList::storeIfNew(QByteArrayView text)
{
    buildIndex();
    const quint64 h = hashBytes(text);
    const quint32 tag = Index::tagOf(h);
    quint32 pos = quint32(h) & m_index->mask;
    for (;; pos = (pos + 1) & m_index->mask) {
        const quint32 slot = m_index->table[pos];
        if (slot == 0)
            break;
        if ((slot & ~Index::kIndexMask) == tag && rawAt(qsizetype(slot & Index::kIndexMask) - 1) == text)
            return false;
    }
    m_store.append(text.data(), text.size());
    m_ends.push_back(m_store.size());
    if (2 * count() > qsizetype(m_index->table.size())) {
        m_index.reset(); // rebuilt, larger, on the next lookup
    } else {
        m_index->table[pos] = tag | quint32(count());
        ++m_index->entries;
    }
    return true;
}

template <typename Accept>
qsizetype FortuneList::find(QByteArrayView text, const Accept &accept) const
{
    const qsizetype n = count();
    if (n == 0)
        return -1;
    buildIndex();
    const quint64 h = hashBytes(text);
    const quint32 tag = Index::tagOf(h);
    const quint32 *table = m_index->table.data();
    const quint32 mask = m_index->mask;
    for (quint32 pos = quint32(h) & mask;; pos = (pos + 1) & mask) {
        const quint32 slot = table[pos];
        if (slot == 0)
            return -1;
        const qsizetype i = qsizetype(slot & Index::kIndexMask) - 1;
        if ((slot & ~Index::kIndexMask) == tag && rawAt(i) == text && accept(i))
            return i;
    }
}

qsizetype FortuneList::storeBytes() const
{
    return m_store.size();
}

void FortuneList::reserveBytes(qsizetype bytes)
{
    if (bytes > 0)
        m_store.reserve(m_store.size() + bytes);
}

bool FortuneList::checkEncodings(qsizetype upTo, QDeadlineTimer deadline) const
{
    constexpr qsizetype kBetweenLooks = 4096;
    while (m_checkedUtf8 < upTo) {
        const qsizetype to = std::min(upTo, m_checkedUtf8 + kBetweenLooks);
        // The records back to back are valid UTF-8, and none starts with a
        // continuation byte, exactly when each is: most blocks pass in one
        // look, without a short tail per record.
        const qsizetype from = m_checkedUtf8 == 0 ? 0 : m_ends[size_t(m_checkedUtf8 - 1)];
        bool whole = isValidUtf8(QByteArrayView(m_store.constData() + from, m_ends[size_t(to - 1)] - from));
        for (qsizetype i = m_checkedUtf8; whole && i + 1 < to; ++i)
            whole = m_ends[size_t(i)] == m_store.size() || (uchar(m_store[m_ends[size_t(i)]]) & 0xC0) != 0x80;
        for (qsizetype i = m_checkedUtf8; !whole && i < to; ++i) {
            if (!isValidUtf8(rawAt(i)))
                m_notUtf8.push_back(quint32(i));
        }
        m_checkedUtf8 = to;
        if (deadline.hasExpired())
            break;
    }
    return m_checkedUtf8 >= upTo;
}

bool FortuneList::isUtf8Record(qsizetype i) const
{
    return !std::binary_search(m_notUtf8.begin(), m_notUtf8.end(), quint32(i));
}

qsizetype FortuneList::countContaining(QStringView term) const
{
    Count count(*this, term);
    count.step(QDeadlineTimer(QDeadlineTimer::Forever));
    return count.hits();
}

std::vector<qsizetype> FortuneList::indexesContaining(QStringView term) const
{
    std::vector<qsizetype> hits;
    Count count(*this, term, [&](qsizetype slot) { hits.push_back(slot); });
    count.step(QDeadlineTimer(QDeadlineTimer::Forever));
    std::sort(hits.begin(), hits.end());
    return hits;
}

FortuneList::Count::Count(const FortuneList &list, QStringView term, std::function<void(qsizetype)> onHit)
    : m_list(list), m_count(list.count()), m_onHit(std::move(onHit))
{
    for (const uint cp : term.toUcs4())
        m_folded.push_back(foldCase(char32_t(cp)));
}

FortuneList::Count::~Count() = default;

bool FortuneList::Count::step(QDeadlineTimer deadline)
{
    const std::vector<qsizetype> &ends = m_list.m_ends;
    if (m_folded.empty()) { // found in every fortune that is not empty
        for (; m_next < m_count; ++m_next) {
            if (ends[size_t(m_next)] > (m_next == 0 ? 0 : ends[size_t(m_next - 1)]))
                hit(m_next);
        }
        return true;
    }
    // What is not UTF-8 is searched the way it is shown, as Windows-1252; each
    // slot is checked once, by the first search that reaches it.
    if (!m_list.checkEncodings(m_count, deadline))
        return false;
    // Stores may have moved the bytes since the last step: looked up afresh.
    const QByteArrayView store(m_list.m_store.constData(), m_count == 0 ? 0 : ends[size_t(m_count - 1)]);
    if (!m_scanner && m_next < m_count)
        m_scanner = std::make_unique<TermScanner>(m_folded, store);
    constexpr qsizetype kBetweenLooks = 2 * 1024 * 1024; // bytes
    while (m_next < m_count) {
        const qsizetype from = m_next == 0 ? 0 : ends[size_t(m_next - 1)];
        const qsizetype to = std::upper_bound(ends.begin() + m_next, ends.begin() + m_count, from + kBetweenLooks)
                             - ends.begin();
        const qsizetype last = std::max(to, m_next + 1);
        m_scanner->run(store, ends, m_next, last, [&](qsizetype record) {
            if (m_list.isUtf8Record(record))
                hit(record);
        });
        m_next = last;
        if (m_next < m_count && deadline.hasExpired())
            return false;
    }
    if (!m_legacyDone) {
        m_legacyDone = true;
        std::vector<char32_t> text;
        for (const quint32 record : m_list.m_notUtf8) {
            if (qsizetype(record) >= m_count)
                break;
            text.clear();
            for (const char c : m_list.rawAt(record))
                text.push_back(foldCase(windows1252Char(uchar(c))));
            if (std::search(text.begin(), text.end(), m_folded.begin(), m_folded.end()) != text.end())
                hit(record);
        }
    }
    return true;
}

bool isEmptyFortune(QByteArrayView text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
    });
}

QString searchMessage(qsizetype hits, QStringView term)
{
    return QString::number(hits) + QStringLiteral(" fortunes contain '") + term.toString()
           + QStringLiteral("'.");
}

} // namespace fortune
