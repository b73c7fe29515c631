#include "fortunesfile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(Q_OS_LINUX)
#include <sys/mman.h>
#endif

Q_LOGGING_CATEGORY(lcCollection, "fortune.collection", QtWarningMsg)

namespace fortune {

namespace {

constexpr qsizetype kSepLen = 30;
static_assert(kSeparator.size() == kSepLen);
constexpr QByteArrayView kCrLf{"\r\n"};
constexpr qsizetype kChunk = 512 * 1024; // fits the L2 cache next to the store's tail
constexpr qsizetype kPad = 64;
constexpr int kProgressEveryRecords = 1024;
constexpr qint64 kProgressIntervalMs = 40;

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Calls f(line, isLast) for every line of text as the reader would see it after
// the writer put text + CR LF on disk: split at LF, one CR before an LF dropped.
template <typename F>
void forEachWrittenLine(QByteArrayView text, F &&f)
{
    qsizetype start = 0;
    for (;;) {
        const qsizetype lf = text.indexOf('\n', start);
        if (lf < 0) {
            f(text.sliced(start), true);
            return;
        }
        qsizetype end = lf;
        if (end > start && text[end - 1] == '\r')
            --end;
        f(text.sliced(start, end - start), false);
        start = lf + 1;
    }
}

// 64 bytes at p as a bit mask of their LF bytes.
inline quint64 lineFeeds64(const char *p)
{
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    quint64 m = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k));
        m |= quint64(quint32(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)))) << (16 * k);
    }
    return m;
#else
    quint64 m = 0;
    for (int k = 0; k < 64; ++k)
        m |= quint64(p[k] == '\n') << k;
    return m;
#endif
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

// Reads a file in chunks straight into the list's store: the bytes of the
// record being read go to the end of the store as they come, so a record costs
// one copy and a separator just fixes its end. Lines that already end in CR LF
// are copied as they are; a lone LF becomes CR LF.
class FortunesFileReader {
public:
    FortunesFileReader(FortuneList &list, const LoadProgress &progress)
        : m_list(list), m_progress(progress), m_write(list.m_store.size())
    {
    }

    LoadResult load(const QString &path);

private:
    enum class Step { More, Full };

    Step processLines(const char *buf, qsizetype last);
    bool separatorAt(const char *line, qsizetype &lineFeed) const;
    void append(const char *p, qsizetype n)
    {
        if (m_write + n > m_list.m_store.size()) {
            m_list.m_store.resize(std::max(m_write + n, 2 * m_list.m_store.size()));
            adviseHugePages(m_list.m_store.data(), m_list.m_store.size());
        }
        std::memcpy(m_list.m_store.data() + m_write, p, size_t(n));
        m_write += n;
    }
    bool closeRecord();

    FortuneList &m_list;
    const LoadProgress &m_progress;
    qsizetype m_write; // end of the bytes written into the store so far
    QElapsedTimer m_clock;
    int m_sinceClock = 0;
};

bool FortunesFileReader::closeRecord()
{
    if (m_list.isFull())
        return false;
    m_list.m_ends.push_back(m_write);
    if (++m_sinceClock >= kProgressEveryRecords) {
        m_sinceClock = 0;
        // The first block is shown at once, so even a fast load is seen to
        // rise; after that a few dozen milliseconds apart.
        if (m_progress && (!m_clock.isValid() || m_clock.elapsed() >= kProgressIntervalMs)) {
            m_progress(m_list.count());
            m_clock.start();
        }
    }
    return true;
}

// A separator line at line? Its LF (which must exist) goes to lineFeed.
bool FortunesFileReader::separatorAt(const char *line, qsizetype &lineFeed) const
{
    if (std::memcmp(line, kSeparator.data(), kSepLen) != 0)
        return false;
    if (line[kSepLen] == '\n') {
        lineFeed = kSepLen;
        return true;
    }
    if (line[kSepLen] == '\r' && line[kSepLen + 1] == '\n') {
        lineFeed = kSepLen + 1;
        return true;
    }
    return false;
}

// buf[0] starts a line, buf[last] is an LF and the last one in the buffer.
// Stores every record that closes in buf[0..last] and appends the rest.
FortunesFileReader::Step FortunesFileReader::processLines(const char *buf, qsizetype last)
{
    qsizetype copyFrom = 0;
    qsizetype lf = 0;
    if (separatorAt(buf, lf)) {
        if (!closeRecord())
            return Step::Full;
        copyFrom = lf + 1;
    }
    for (qsizetype block = 0; block <= last; block += 64) {
        quint64 mask = lineFeeds64(buf + block);
        if (last - block < 63)
            mask &= ~quint64(0) >> (63 - (last - block));
        while (mask != 0) {
            const qsizetype e = block + std::countr_zero(mask);
            mask &= mask - 1;
            // e < copyFrom: the LF of a separator line, already dealt with.
            if (e >= copyFrom && buf[e - 1] != '\r') {
                append(buf + copyFrom, e - copyFrom);
                append(kCrLf.data(), 2);
                copyFrom = e + 1;
            }
            if (e < last && buf[e + 1] == '|' && separatorAt(buf + e + 1, lf)) {
                append(buf + copyFrom, e + 1 - copyFrom);
                if (!closeRecord())
                    return Step::Full;
                copyFrom = e + 1 + lf + 1;
            }
        }
    }
    if (copyFrom <= last)
        append(buf + copyFrom, last + 1 - copyFrom);
    return Step::More;
}

LoadResult FortunesFileReader::load(const QString &path)
{
    LoadResult result;
    const QFileInfo info(path);
    if (!info.exists()) {
        result.outcome = LoadResult::Outcome::Missing;
        result.error = QStringLiteral("The fortunes file \"%1\" does not exist.").arg(shown(path));
        return result;
    }
    const auto failed = [&](const QString &why) {
        result.outcome = LoadResult::Outcome::Failed;
        result.error = QStringLiteral("Could not read the fortunes file \"%1\": %2").arg(shown(path), why);
        return result;
    };
    if (info.isDir())
        return failed(QStringLiteral("it is a folder, not a file."));
    // A pipe or a device would block the start-up or never end.
    if (!info.isFile())
        return failed(QStringLiteral("it is not a regular file."));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return failed(file.errorString() + QLatin1Char('.'));

    const qsizetype before = m_list.count();
    const qsizetype storeBefore = m_list.m_store.size();
    bool full = false;
    try {
        // The text of a file is at most its size (separators are dropped), bar
        // lone LFs that become CR LF. Untouched reserve costs address space only.
        const qint64 fileSize = file.size();
        m_list.m_store.resize(storeBefore + qsizetype(fileSize) + 64);
        m_list.m_ends.reserve(size_t(std::min<qint64>(kSlotCount, before + fileSize / kSepLen + 1)));
        adviseHugePages(m_list.m_store.data(), m_list.m_store.size());
        adviseHugePages(m_list.m_ends.data(), qsizetype(m_list.m_ends.capacity() * sizeof(qsizetype)));

        qsizetype capacity = kChunk;
        std::vector<char> storage(size_t(capacity + 2 * kPad), 0);
        char *buf = storage.data() + kPad;
        buf[-1] = '\n'; // buf[0] always starts a line
        qsizetype have = 0;
        for (;;) {
            const qint64 got = file.read(buf + have, capacity - have);
            if (got < 0) {
                const QString why = file.errorString();
                m_list.truncate(before);
                m_list.m_store.resize(storeBefore);
                return failed(why + QLatin1Char('.'));
            }
            if (got == 0) {
                // The end of the file ends the last line; a CR right before it goes too.
                qsizetype len = have;
                if (len > 0 && buf[len - 1] == '\r')
                    --len;
                if (len == kSepLen && std::memcmp(buf, kSeparator.data(), kSepLen) == 0)
                    full = !closeRecord();
                break;
            }
            const qsizetype filled = have + qsizetype(got);
            const char *lastLf = static_cast<const char *>(memrchr(buf, '\n', size_t(filled)));
            if (!lastLf) {
                have = filled;
                if (have == capacity) { // one very long line: make room for more of it
                    capacity *= 2;
                    std::vector<char> bigger(size_t(capacity + 2 * kPad), 0);
                    std::memcpy(bigger.data() + kPad, buf, size_t(have));
                    storage.swap(bigger);
                    buf = storage.data() + kPad;
                    buf[-1] = '\n';
                }
                continue;
            }
            const qsizetype last = lastLf - buf;
            std::memset(buf + filled, 0, size_t(kPad)); // the scan reads a little past the data
            if (processLines(buf, last) == Step::Full) {
                full = true;
                break;
            }
            have = filled - (last + 1);
            std::memmove(buf, buf + last + 1, size_t(have));
        }
    } catch (const std::bad_alloc &) {
        m_list.truncate(before);
        m_list.m_store.resize(storeBefore);
        return failed(QStringLiteral("there is not enough memory to hold it."));
    }

    // Lines after the last separator belong to no record.
    m_list.m_store.resize(m_list.count() == 0 ? 0 : m_list.m_ends.back());
    m_list.recordsAdded(before);
    result.stored = m_list.count() - before;
    if (m_progress)
        m_progress(m_list.count());
    if (full) {
        result.outcome = LoadResult::Outcome::Full;
        result.error = QStringLiteral("The fortune list is full: it holds %1 fortunes, the most it can hold. "
                                      "Loading \"%2\" stopped there; the rest of the file was not loaded.")
                           .arg(kSlotCount)
                           .arg(shown(path));
    }
    qCDebug(lcCollection) << "loaded" << result.stored << "fortunes from" << path;
    return result;
}

LoadResult loadFortunesFile(const QString &path, FortuneList &list, const LoadProgress &progress)
{
    return FortunesFileReader(list, progress).load(path);
}

QByteArray recordForm(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size() + 2 + 2 * text.count('\n'));
    forEachWrittenLine(text, [&](QByteArrayView line, bool) {
        out.append(line);
        out.append(kCrLf);
    });
    return out;
}

RecordAppender::RecordAppender(QString path) : m_path(std::move(path)), m_nativePath(QFile::encodeName(m_path)) {}

RecordAppender::~RecordAppender()
{
    close();
}

void RecordAppender::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

Status RecordAppender::open(qint64 &size)
{
    // Plain system calls rather than QFile: the download loop appends once per
    // new fortune, and QFile's open alone (file engine, several stats, seeks)
    // cost more than the rest of the append. No access time: reading the tail
    // of a file just written would otherwise update it on every append.
    int flags = O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC;
#ifdef O_NOATIME
    flags |= O_NOATIME;
#endif
    for (;;) {
        m_fd = ::open(m_nativePath.constData(), flags, 0666);
        if (m_fd >= 0)
            break;
        if (errno == EINTR)
            continue;
#ifdef O_NOATIME
        if (errno == EPERM && (flags & O_NOATIME)) { // not the file's owner
            flags &= ~O_NOATIME;
            continue;
        }
#endif
        return Status::failure(QStringLiteral("Could not open the fortunes file \"%1\" for writing: %2.")
                                   .arg(shown(m_path), qt_error_string(errno)));
    }
    struct stat info;
    if (::fstat(m_fd, &info) != 0) {
        const int error = errno;
        close();
        return Status::failure(QStringLiteral("Could not read the size of the fortunes file \"%1\": %2.")
                                   .arg(shown(m_path), qt_error_string(error)));
    }
    if (!S_ISREG(info.st_mode)) {
        close();
        return Status::failure(QStringLiteral("Could not write to the fortunes file \"%1\": it is not a "
                                              "regular file.").arg(shown(m_path)));
    }
    m_device = quint64(info.st_dev);
    m_inode = quint64(info.st_ino);
    size = qint64(info.st_size);
    return {};
}

Status RecordAppender::append(QByteArrayView text)
{
    bool separatorInside = false;
    forEachWrittenLine(text, [&](QByteArrayView line, bool) { separatorInside |= line == kSeparator; });
    if (separatorInside) {
        return Status::failure(
            QStringLiteral("The fortune was not saved to \"%1\": one of its lines is exactly the record "
                           "separator \"%2\", which would split it in two when the file is read.")
                .arg(shown(m_path), QString::fromLatin1(kSeparator)));
    }

    // The file held open must still be the one at the path: an editor may have
    // saved a new file in its place, or someone removed it.
    qint64 formerSize = 0;
    if (m_fd >= 0) {
        struct stat info;
        if (::stat(m_nativePath.constData(), &info) == 0 && quint64(info.st_dev) == m_device
            && quint64(info.st_ino) == m_inode) {
            formerSize = qint64(info.st_size);
        } else {
            close();
        }
    }
    if (m_fd < 0) {
        if (Status opened = open(formerSize); !opened.ok())
            return opened;
    }

    // A new record must start right after a separator line. If a hand edit or
    // another program left lines after the last separator (or no final line
    // end), close those lines as a record of their own first, so the new
    // fortune does not absorb them.
    QByteArray payload;
    payload.reserve(text.size() + 2 * kSepLen + 8);
    if (formerSize > 0) {
        const qint64 tailSize = std::min<qint64>(formerSize, kSepLen + 3);
        char tailBytes[kSepLen + 3];
        qint64 got = 0;
        int readError = 0;
        while (got < tailSize) {
            const ssize_t n = ::pread(m_fd, tailBytes + got, size_t(tailSize - got), off_t(formerSize - tailSize + got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                readError = errno;
            if (n <= 0)
                break;
            got += n;
        }
        if (got != tailSize) {
            close();
            return Status::failure(QStringLiteral("Could not read the end of the fortunes file \"%1\": %2.")
                                       .arg(shown(m_path), readError != 0 ? qt_error_string(readError)
                                                                          : QStringLiteral("it became shorter")));
        }
        const QByteArrayView tail(tailBytes, tailSize);
        const bool endsWithLf = tail.endsWith('\n');
        const bool endsWithCr = !endsWithLf && tail.endsWith('\r');
        QByteArrayView lastLine(tail);
        if (endsWithLf)
            lastLine.chop(1);
        if (lastLine.endsWith('\r'))
            lastLine.chop(1);
        bool separatorLast = false;
        if (lastLine.endsWith(kSeparator)) {
            const qsizetype lineStart = lastLine.size() - kSepLen;
            separatorLast = lineStart == 0 ? tailSize == formerSize : lastLine[lineStart - 1] == '\n';
        }
        if (!endsWithLf)
            payload.append(endsWithCr ? QByteArrayView("\n") : kCrLf);
        if (!separatorLast) {
            payload.append(kSeparator);
            payload.append(kCrLf);
        }
    }
    payload.append(text);
    payload.append(kCrLf);
    payload.append(kSeparator);
    payload.append(kCrLf);

    // The whole record in one write, so that a kill leaves all of it or none;
    // once write() returns it is the kernel's, and a reader sees it.
    ssize_t written;
    do
        written = ::write(m_fd, payload.constData(), size_t(payload.size()));
    while (written < 0 && errno == EINTR);
    if (written != payload.size()) {
        const QString why = written < 0 ? qt_error_string(errno)
                                        : QStringLiteral("only %1 of %2 bytes were written (is the disk full?)")
                                              .arg(written)
                                              .arg(payload.size());
        int cut;
        do
            cut = ::ftruncate(m_fd, off_t(formerSize));
        while (cut != 0 && errno == EINTR);
        const int cutError = cut == 0 ? 0 : errno;
        close();
        return Status::failure(
            QStringLiteral("Could not write to the fortunes file \"%1\": %2. %3")
                .arg(shown(m_path), why,
                     cut == 0 ? QStringLiteral("The file was cut back to its former length.")
                              : QStringLiteral("It could not be cut back to its former length either: %1.")
                                    .arg(qt_error_string(cutError))));
    }
    return {};
}

Status appendRecord(const QString &path, QByteArrayView text)
{
    RecordAppender file(path);
    return file.append(text);
}

Status storeNewFortune(RecordAppender &file, QByteArrayView text, FortuneList &list)
{
    if (list.isFull()) {
        return Status::failure(QStringLiteral("The fortune list is full: it already holds %1 fortunes, so the "
                                              "new fortune was neither saved nor stored.")
                                   .arg(kSlotCount));
    }
    QByteArray form = recordForm(text);
    if (Status written = file.append(text); !written.ok())
        return written;
    return list.store(form);
}

Status storeNewFortune(const QString &path, QByteArrayView text, FortuneList &list)
{
    RecordAppender file(path);
    return storeNewFortune(file, text, list);
}

} // namespace fortune
