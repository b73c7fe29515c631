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
#include <QSaveFile>

#include <filesystem>

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

// All of bytes, a short write tried again for the rest, so that a failure
// comes back with its reason (errorString()).
bool writeAll(QIODevice &device, QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const qint64 written = device.write(bytes.data(), bytes.size());
        if (written < 0)
            return false;
        bytes = bytes.sliced(written);
    }
    return true;
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

bool OpenFile::append(QByteArrayView bytes)
{
    return writeAll(d->file, bytes) || fail(FileProblem::Failed, d->file.errorString());
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

// A note beside the collection is a regular file of ours, of one link;
// anything else in its place is neither waited on, written to, read nor
// removed. QFile has no open that refuses a link, so the path is looked at
// first.
static bool isNoteOfOurs(const QString &path)
{
    std::error_code unknown;
    const std::filesystem::path at = QFileInfo(path).filesystemFilePath();
    return std::filesystem::symlink_status(at, unknown).type() == std::filesystem::file_type::regular
           && std::filesystem::hard_link_count(at, unknown) == 1;
}

static bool isTaken(const QString &path)
{
    std::error_code unknown;
    return std::filesystem::symlink_status(QFileInfo(path).filesystemFilePath(), unknown).type()
           != std::filesystem::file_type::not_found;
}

QString writeSideFile(const QString &path, QByteArrayView bytes)
{
    if (isTaken(path)) {
        if (!isNoteOfOurs(path))
            return QStringLiteral("a link, a folder or a pipe stands in its place");
        if (QString why; !removeSideFile(path, &why))
            return why;
    }
    QFile file(path);
    if (!file.open(QIODevice::NewOnly | QIODevice::Unbuffered))
        return file.errorString();
    if (!writeAll(file, bytes)) {
        const QString why = file.errorString();
        file.remove();
        return why;
    }
    return {};
}

std::optional<QByteArray> readSideFile(const QString &path, qint64 maxSize)
{
    if (!isNoteOfOurs(path))
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(maxSize);
}

bool removeSideFile(const QString &path, QString *why)
{
    if (!isNoteOfOurs(path))
        return true;
    QFile file(path);
    if (file.remove() || !file.exists())
        return true;
    if (why)
        *why = file.errorString();
    return false;
}

// QSaveFile does the replacing; written unbuffered, each write's failure
// comes back at once with the system's reason (a buffered one would fail only
// in commit, without it).
struct ReplacedFile::Impl {
    std::unique_ptr<QSaveFile> file;
};

ReplacedFile::ReplacedFile(QString path) : d(std::make_unique<Impl>()), m_path(std::move(path)) {}

ReplacedFile::~ReplacedFile() = default; // an uncommitted QSaveFile removes its temporary file

bool ReplacedFile::fail(QString why)
{
    m_error = std::move(why);
    d->file.reset();
    return false;
}

bool ReplacedFile::open()
{
    const QFileInfo target(followedLinks(m_path));
    if (target.exists() && !target.isFile())
        return fail(QStringLiteral("it is not a regular file, and is never replaced by one"));
    d->file = std::make_unique<QSaveFile>(target.filePath());
    if (!d->file->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(d->file->errorString());
    return true;
}

bool ReplacedFile::write(QByteArrayView bytes)
{
    if (!d->file)
        return false;
    return writeAll(*d->file, bytes) || fail(d->file->errorString());
}

bool ReplacedFile::commit()
{
    if (!d->file)
        return false;
    if (!d->file->commit())
        return fail(d->file->errorString());
    d->file.reset();
    return true;
}

} // namespace fortune
