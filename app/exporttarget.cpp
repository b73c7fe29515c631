#include "exporttarget.h"

#include "fileio.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fortune {

namespace {

const QString kStandardOutput = QStringLiteral("-");

// The descriptor of this process that path names by number (/dev/stdout,
// /dev/fd/3, /proc/self/fd/1). On Linux, opening such a path opens its file
// anew, at the start and without the append mode it was opened in, and so
// writes over what is there (a log that stdout appends to): it is written
// through the descriptor instead.
std::optional<int> ownDescriptorNamed(const QString &path)
{
#ifdef Q_OS_LINUX
    const QString descriptors = QStringLiteral("/proc/%1/fd").arg(::getpid());
    QString at = path;
    for (int links = 0; links < 40; ++links) {
        const QFileInfo info(at);
        bool number = false;
        const int fd = info.fileName().toInt(&number);
        if (number && fd >= 0 && QFileInfo(info.absolutePath()).canonicalFilePath() == descriptors)
            return fd;
        if (!info.isSymLink())
            break;
        at = info.symLinkTarget();
    }
#else
    Q_UNUSED(path);
#endif
    return std::nullopt;
}

// Opens what is at target for writing in place, never creating, cutting
// short or replacing it (through named, the descriptor of this process the
// target names, if any). Empty, or why it cannot be opened.
QString openInPlace(QFile &file, const QString &target, std::optional<int> named)
{
    constexpr QIODevice::OpenMode kMode = QIODevice::WriteOnly | QIODevice::Unbuffered;
    bool opened = false;
    if (named) {
        opened = file.open(*named, kMode, QFileDevice::DontCloseHandle);
    } else {
#ifdef Q_OS_WIN
        file.setFileName(target);
        opened = file.open(kMode | QIODevice::ExistingOnly);
#else
        // Not QFile's own open, which cuts a file short and seeks to append.
        const int fd = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            return QString::fromLocal8Bit(std::strerror(errno));
        opened = file.open(fd, kMode, QFileDevice::AutoCloseHandle);
#endif
    }
    return opened ? QString() : file.errorString();
}

// Is what the export would write to the fortunes file it reads, under any
// name, link or descriptor? The device and the inode decide, as for cat's
// "input file is output file": a descriptor (the standard output, /dev/fd/N)
// is asked itself, since the shell may have opened the collection there
// (">> c.txt", "1<> c.txt").
bool isTheSource(const QString &target, std::optional<int> descriptor, const QString &source)
{
    if (source.isEmpty())
        return false;
    if (!descriptor) {
        std::error_code unknown; // a file that is not there is no other file
        return std::filesystem::equivalent(QFileInfo(target).filesystemFilePath(),
                                           QFileInfo(source).filesystemFilePath(), unknown);
    }
#ifdef Q_OS_WIN
    return false;
#else
    struct stat written, read;
    return ::fstat(*descriptor, &written) == 0 && ::stat(QFile::encodeName(source).constData(), &read) == 0
           && written.st_dev == read.st_dev && written.st_ino == read.st_ino;
#endif
}

} // namespace

bool isStandardOutput(const QString &target)
{
    return target == kStandardOutput || ownDescriptorNamed(target) == 1;
}

ClassicExport exportClassicFile(const FortuneList &list, const QString &target, const QString &source,
                                QIODevice &out)
{
    const bool toStandardOutput = target == kStandardOutput;
    const auto failed = [&](QString why) {
        if (why.endsWith(u'.'))
            why.chop(1);
        ClassicExport done;
        done.error = toStandardOutput
                         ? QStringLiteral("Could not write the classic fortune file to the standard output: %1.").arg(why)
                         : QStringLiteral("Could not write the classic fortune file \"%1\": %2.")
                               .arg(shownPath(target), why);
        return done;
    };
    // The descriptor written through, if any: the standard output's, or the
    // one /dev/fd/N names.
    const auto *outFile = qobject_cast<QFileDevice *>(&out);
    const std::optional<int> named = !toStandardOutput ? ownDescriptorNamed(target)
                                     : outFile && outFile->handle() >= 0 ? std::optional<int>(outFile->handle())
                                                                        : std::nullopt;
    if (isTheSource(target, named, source))
        return failed(QStringLiteral("it is the fortunes file \"%1\" itself").arg(shownPath(source)));
    // A short write is tried again for the rest: only a write that takes
    // nothing carries the reason (a pipe takes what fits before its reader's
    // end is seen).
    const auto writeTo = [](QIODevice &device) {
        return [&device](QByteArrayView bytes) {
            for (qint64 wrote = 0; !bytes.isEmpty(); bytes = bytes.sliced(wrote)) {
                if ((wrote = device.write(bytes.data(), bytes.size())) <= 0)
                    return false;
            }
            return true;
        };
    };

    const QFileInfo info(target);
    if (!toStandardOutput && !named && (!info.exists() || info.isFile())) {
        ReplacedFile file(target);
        bool ok = file.open();
        const ClassicExport done =
            ok ? exportClassicFortunes(list, [&](QByteArrayView bytes) { return ok = file.write(bytes); }) : ClassicExport{};
        return ok && file.commit() ? done : failed(file.errorString());
    }

    QFile file;
    if (const QString problem = toStandardOutput ? QString() : openInPlace(file, target, named); !problem.isEmpty())
        return failed(problem);
    QIODevice &stream = toStandardOutput ? out : file;
    const auto write = writeTo(stream);
    bool ok = true;
    const ClassicExport done = exportClassicFortunes(list, [&](QByteArrayView bytes) { return ok = write(bytes); });
    if (auto *device = qobject_cast<QFileDevice *>(&stream); ok && device)
        ok = device->flush();
    return ok ? done : failed(stream.errorString());
}

} // namespace fortune
