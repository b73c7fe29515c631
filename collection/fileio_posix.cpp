// The file layer on plain POSIX calls: the download loop appends once per new
// fortune, and these cost a fraction of QFile's open (file engine, several
// stats, seeks).
#include "fileio.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fortune {

struct OpenFile::Impl {
    int fd = -1;
    QByteArray nativePath;
    dev_t device = 0;
    ino_t inode = 0;
    ~Impl()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

namespace {

QString errnoText(int error)
{
    return qt_error_string(error);
}

FileProblem problemOf(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return FileProblem::Missing;
    case EISDIR:
        return FileProblem::Folder;
    case EACCES:
    case EPERM:
    case EROFS:
        return FileProblem::NoPermission;
    case ENXIO: // a pipe without a reader, a device without its hardware
        return FileProblem::NotRegular;
    default:
        return FileProblem::Failed;
    }
}

template <typename F>
auto retryOnSignal(F &&call)
{
    decltype(call()) result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

// All of bytes to fd, a short write (a full disk, a signal) tried again for
// the rest, so that a failure comes back with its reason: 0, or the error.
int writeAll(int fd, QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const ssize_t written = retryOnSignal([&] { return ::write(fd, bytes.data(), size_t(bytes.size())); });
        if (written < 0)
            return errno;
        bytes = bytes.sliced(written);
    }
    return 0;
}

} // namespace

OpenFile::OpenFile() : d(std::make_unique<Impl>()) {}
OpenFile::~OpenFile() = default;
OpenFile::OpenFile(OpenFile &&other) noexcept = default;
OpenFile &OpenFile::operator=(OpenFile &&other) noexcept = default;

bool OpenFile::open(const QString &path, Mode mode)
{
    close();
    m_path = path;
    d->nativePath = QFile::encodeName(path);
    // Non-blocking, so a pipe's open does not wait for a writer; fstat then
    // refuses everything but a regular file. No access time: reading the tail
    // of a file just written would otherwise update it on every append.
    int flags = (mode == Mode::Read ? O_RDONLY : O_RDWR | O_APPEND | O_CREAT) | O_CLOEXEC | O_NONBLOCK;
#ifdef O_NOATIME
    flags |= O_NOATIME;
#endif
    for (;;) {
        d->fd = retryOnSignal([&] { return ::open(d->nativePath.constData(), flags, 0666); });
        if (d->fd >= 0)
            break;
#ifdef O_NOATIME
        if (errno == EPERM && (flags & O_NOATIME)) { // not the file's owner
            flags &= ~O_NOATIME;
            continue;
        }
#endif
        const int error = errno;
        return fail(problemOf(error), errnoText(error));
    }
    struct stat info;
    if (::fstat(d->fd, &info) != 0) {
        const int error = errno;
        close();
        return fail(FileProblem::Failed, errnoText(error));
    }
    if (!S_ISREG(info.st_mode)) {
        close();
        return fail(S_ISDIR(info.st_mode) ? FileProblem::Folder : FileProblem::NotRegular, {});
    }
    d->device = info.st_dev;
    d->inode = info.st_ino;
    m_problem = FileProblem::None;
    return true;
}

void OpenFile::close()
{
    if (d->fd >= 0)
        ::close(d->fd);
    d->fd = -1;
}

bool OpenFile::isOpen() const
{
    return d && d->fd >= 0;
}

qint64 OpenFile::size()
{
    struct stat info;
    if (::fstat(d->fd, &info) != 0)
        return fail(FileProblem::Failed, errnoText(errno)), -1;
    return qint64(info.st_size);
}

qint64 OpenFile::readAt(qint64 offset, char *data, qint64 maxSize)
{
    qint64 done = 0;
    while (done < maxSize) {
        const ssize_t got = retryOnSignal(
            [&] { return ::pread(d->fd, data + done, size_t(maxSize - done), off_t(offset + done)); });
        if (got < 0)
            return fail(FileProblem::Failed, errnoText(errno)), -1;
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

bool OpenFile::append(QByteArrayView bytes)
{
    if (const int error = writeAll(d->fd, bytes))
        return fail(FileProblem::Failed, errnoText(error));
    return true;
}

bool OpenFile::truncate(qint64 length)
{
    if (retryOnSignal([&] { return ::ftruncate(d->fd, off_t(length)); }) != 0)
        return fail(FileProblem::Failed, errnoText(errno));
    return true;
}

bool OpenFile::isStillAtPath()
{
    struct stat atPath;
    return ::stat(d->nativePath.constData(), &atPath) == 0 && atPath.st_dev == d->device
           && atPath.st_ino == d->inode;
}

FileId OpenFile::id()
{
    return {quint64(d->device), quint64(d->inode), true};
}

PathLook lookAtPath(const QString &path)
{
    PathLook look;
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return look;
    look.id = {quint64(info.st_dev), quint64(info.st_ino), true};
    look.size = qint64(info.st_size);
    look.modified = qint64(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec;
    return look;
}

OpenFile::LockTry OpenFile::tryLock()
{
    if (retryOnSignal([&] { return ::flock(d->fd, LOCK_EX | LOCK_NB); }) == 0)
        return LockTry::Locked;
    return errno == EWOULDBLOCK ? LockTry::Busy : LockTry::NoLocks;
}

void OpenFile::unlock()
{
    if (isOpen())
        ::flock(d->fd, LOCK_UN);
}

// A note beside the collection is a regular file of ours, of one link. The
// checks and the open are one step where it matters: an exclusive create
// never follows a link, and what is opened to be read is looked at through
// its descriptor (opened without waiting, so a pipe put there never blocks).
static bool isNoteOfOurs(const struct stat &info)
{
    return S_ISREG(info.st_mode) && info.st_nlink == 1;
}

QString writeSideFile(const QString &path, QByteArrayView bytes)
{
    const QByteArray native = QFile::encodeName(path);
    int fd = -1;
    for (int tries = 0; tries < 2 && fd < 0; ++tries) {
        fd = retryOnSignal([&] {
            return ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        });
        if (fd >= 0 || errno != EEXIST)
            break;
        struct stat info;
        if (::lstat(native.constData(), &info) == 0 && !isNoteOfOurs(info))
            return QStringLiteral("a link, a folder or a pipe stands in its place");
        if (::unlink(native.constData()) != 0 && errno != ENOENT)
            return errnoText(errno);
    }
    if (fd < 0)
        return errnoText(errno);
    const int error = writeAll(fd, bytes);
    QString why = error ? errnoText(error) : QString();
    if (::close(fd) != 0 && why.isEmpty())
        why = errnoText(errno);
    if (!why.isEmpty())
        ::unlink(native.constData());
    return why;
}

std::optional<QByteArray> readSideFile(const QString &path, qint64 maxSize)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = retryOnSignal(
        [&] { return ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW); });
    if (fd < 0)
        return std::nullopt;
    struct stat info;
    std::optional<QByteArray> note;
    if (::fstat(fd, &info) == 0 && isNoteOfOurs(info)) {
        QByteArray bytes(qsizetype(std::clamp<qint64>(info.st_size, 0, maxSize)), Qt::Uninitialized);
        qsizetype got = 0;
        while (got < bytes.size()) {
            const ssize_t n = retryOnSignal([&] { return ::read(fd, bytes.data() + got, size_t(bytes.size() - got)); });
            if (n <= 0)
                break;
            got += n;
        }
        bytes.truncate(got);
        note = bytes;
    }
    ::close(fd);
    return note;
}

bool removeSideFile(const QString &path, QString *why)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info;
    if (::lstat(native.constData(), &info) != 0 || !isNoteOfOurs(info))
        return true;
    if (::unlink(native.constData()) == 0 || errno == ENOENT)
        return true;
    if (why)
        *why = errnoText(errno);
    return false;
}

struct ReplacedFile::Impl {
    QByteArray target;    // the file replaced, links followed
    QByteArray temporary; // beside it, until it is renamed or removed
    int fd = -1;
};

ReplacedFile::ReplacedFile(QString path) : d(std::make_unique<Impl>()), m_path(std::move(path)) {}

ReplacedFile::~ReplacedFile()
{
    if (d->fd >= 0)
        ::close(d->fd);
    if (!d->temporary.isEmpty())
        ::unlink(d->temporary.constData());
}

bool ReplacedFile::fail(QString why)
{
    m_error = std::move(why);
    if (d->fd >= 0)
        ::close(d->fd);
    d->fd = -1;
    if (!d->temporary.isEmpty())
        ::unlink(d->temporary.constData());
    d->temporary.clear();
    return false;
}

bool ReplacedFile::open()
{
    d->target = QFile::encodeName(followedLinks(m_path));
    struct stat old;
    const bool exists = ::stat(d->target.constData(), &old) == 0;
    if (!exists && errno != ENOENT)
        return fail(errnoText(errno));
    if (exists && !S_ISREG(old.st_mode))
        return fail(QStringLiteral("it is not a regular file, and is never replaced by one"));
    // A name of its own beside the target, made exclusively: created with
    // 0666 the system's umask applies, as for any new file.
    const QByteArray folder = QFile::encodeName(QFileInfo(QFile::decodeName(d->target)).absolutePath());
    for (int tries = 0; d->fd < 0; ++tries) {
        d->temporary = folder + "/." + QFile::encodeName(QFileInfo(QFile::decodeName(d->target)).fileName())
                       + '.' + QByteArray::number(QRandomGenerator::global()->generate(), 36);
        d->fd = retryOnSignal([&] {
            return ::open(d->temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        });
        if (d->fd < 0 && (errno != EEXIST || tries == 100)) {
            const int error = errno;
            d->temporary.clear();
            return fail(errnoText(error));
        }
    }
    if (exists && ::fchmod(d->fd, old.st_mode & 07777) != 0)
        return fail(errnoText(errno));
    return true;
}

bool ReplacedFile::write(QByteArrayView bytes)
{
    if (d->fd < 0)
        return false;
    if (const int error = writeAll(d->fd, bytes))
        return fail(errnoText(error));
    return true;
}

bool ReplacedFile::commit()
{
    if (d->fd < 0)
        return false;
    // On the disk before the rename, so that a crash of the system too leaves
    // the old content or the new one.
    if (retryOnSignal([&] { return ::fsync(d->fd); }) != 0 && errno != EINVAL)
        return fail(errnoText(errno));
    const int closed = ::close(d->fd);
    d->fd = -1;
    if (closed != 0)
        return fail(errnoText(errno));
    if (::rename(d->temporary.constData(), d->target.constData()) != 0)
        return fail(errnoText(errno));
    d->temporary.clear();
    return true;
}

} // namespace fortune
