// The file layer on plain POSIX calls: the download loop appends once per new
// fortune, and these cost a fraction of QFile's open (file engine, several
// stats, seeks).
#include "fileio.h"

#include <QFile>

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

qint64 OpenFile::append(QByteArrayView bytes)
{
    const ssize_t written = retryOnSignal([&] { return ::write(d->fd, bytes.data(), size_t(bytes.size())); });
    if (written < 0)
        return fail(FileProblem::Failed, errnoText(errno)), -1;
    return qint64(written);
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

// A note beside the collection is a regular file of ours: a pipe or a device
// put in its place is neither waited on (that would hang the window) nor
// written to, truncated or removed.
static int openSideFile(const QByteArray &native, int flags)
{
    const int fd = retryOnSignal(
        [&] { return ::open(native.constData(), flags | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0666); });
    struct stat info;
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool writeSideFile(const QString &path, QByteArrayView bytes)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = openSideFile(native, O_WRONLY | O_CREAT);
    if (fd < 0 || ::ftruncate(fd, 0) != 0) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    const bool written = retryOnSignal([&] { return ::write(fd, bytes.data(), size_t(bytes.size())); })
                         == ssize_t(bytes.size());
    ::close(fd);
    return written;
}

std::optional<QByteArray> readSideFile(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = openSideFile(native, O_RDONLY);
    if (fd < 0)
        return std::nullopt;
    QByteArray bytes(256, Qt::Uninitialized); // a note is a line
    const ssize_t got = retryOnSignal([&] { return ::read(fd, bytes.data(), size_t(bytes.size())); });
    ::close(fd);
    bytes.resize(std::max<ssize_t>(got, 0));
    return bytes;
}

void removeSideFile(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info;
    if (::lstat(native.constData(), &info) == 0 && S_ISREG(info.st_mode))
        ::unlink(native.constData());
}

} // namespace fortune
