// The file layer on QFile, for systems without the POSIX calls. QFile cannot
// open without blocking, so a pipe or a device is refused by a look at the
// path first; the identity of a file is its birth time, where the system
// keeps one, and its size.
#include "fileio.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>

namespace fortune {

struct OpenFile::Impl {
    QFile file;
    std::unique_ptr<QLockFile> lock;
};

namespace {

FileProblem problemOf(const QFile &file)
{
    return file.error() == QFileDevice::PermissionsError ? FileProblem::NoPermission : FileProblem::Failed;
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
    const QFileInfo info(path);
    if (info.exists() || mode == Mode::Read) {
        if (!info.exists())
            return fail(FileProblem::Missing, {});
        if (info.isDir())
            return fail(FileProblem::Folder, {});
        if (!info.isFile())
            return fail(FileProblem::NotRegular, {});
    } else if (!info.dir().exists()) {
        return fail(FileProblem::Missing, {});
    }
    d->file.setFileName(path);
    const QIODevice::OpenMode how = mode == Mode::Read ? QIODevice::ReadOnly
                                                       : QIODevice::ReadWrite | QIODevice::Append;
    if (!d->file.open(how | QIODevice::Unbuffered))
        return fail(problemOf(d->file), d->file.errorString());
    m_problem = FileProblem::None;
    return true;
}

void OpenFile::close()
{
    d->lock.reset();
    d->file.close();
}

bool OpenFile::isOpen() const
{
    return d && d->file.isOpen();
}

qint64 OpenFile::size()
{
    return d->file.size();
}

qint64 OpenFile::readAt(qint64 offset, char *data, qint64 maxSize)
{
    if (!d->file.seek(offset))
        return fail(FileProblem::Failed, d->file.errorString()), -1;
    qint64 done = 0;
    while (done < maxSize) {
        const qint64 got = d->file.read(data + done, maxSize - done);
        if (got < 0)
            return fail(FileProblem::Failed, d->file.errorString()), -1;
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

qint64 OpenFile::append(QByteArrayView bytes)
{
    const qint64 written = d->file.write(bytes.data(), bytes.size());
    if (written < 0)
        return fail(FileProblem::Failed, d->file.errorString()), -1;
    return written;
}

bool OpenFile::truncate(qint64 length)
{
    if (!d->file.resize(length))
        return fail(FileProblem::Failed, d->file.errorString());
    return true;
}

bool OpenFile::isStillAtPath()
{
    QFileInfo atPath(m_path);
    if (!atPath.exists() || atPath.size() != d->file.size())
        return false;
    const QDateTime born = atPath.fileTime(QFileDevice::FileBirthTime);
    return !born.isValid() || born == d->file.fileTime(QFileDevice::FileBirthTime);
}

FileId OpenFile::id()
{
    const QDateTime born = d->file.fileTime(QFileDevice::FileBirthTime);
    if (!born.isValid())
        return {};
    return {quint64(born.toMSecsSinceEpoch()), 0, true};
}

PathLook lookAtPath(const QString &path)
{
    PathLook look;
    const QFileInfo info(path);
    if (!info.exists())
        return look;
    if (const QDateTime born = info.birthTime(); born.isValid())
        look.id = {quint64(born.toMSecsSinceEpoch()), 0, true};
    look.size = info.size();
    look.modified = info.lastModified().toMSecsSinceEpoch();
    return look;
}

// A lock file beside the collection: Qt's portable lock between processes.
// One left by a program that died holding it is known by its process id at
// once. Where the holder cannot be told (a program killed while it wrote the
// lock file, another host), a lock file older than a few seconds is taken for
// left over: a writer holds it for one store or one import batch, far less.
OpenFile::LockTry OpenFile::tryLock()
{
    d->lock = std::make_unique<QLockFile>(m_path + QStringLiteral(".lock"));
    d->lock->setStaleLockTime(std::chrono::seconds(5));
    if (d->lock->tryLock(0))
        return LockTry::Locked;
    const bool held = d->lock->error() == QLockFile::LockFailedError;
    d->lock.reset();
    return held ? LockTry::Busy : LockTry::NoLocks;
}

void OpenFile::unlock()
{
    d->lock.reset();
}

// A note beside the collection is a regular file of ours: anything else put
// in its place is neither waited on, written to, nor removed.
static bool isOtherThanFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isSymLink() || (info.exists() && !info.isFile());
}

bool writeSideFile(const QString &path, QByteArrayView bytes)
{
    if (isOtherThanFile(path))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes.data(), bytes.size()) == bytes.size();
}

std::optional<QByteArray> readSideFile(const QString &path)
{
    if (isOtherThanFile(path))
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(256); // a note is a line
}

void removeSideFile(const QString &path)
{
    if (!isOtherThanFile(path))
        QFile::remove(path);
}

} // namespace fortune
