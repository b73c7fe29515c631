#pragma once

// The few file operations the collection needs, behind one small class. The
// build picks one of two implementations (CMake option FORTUNE_POSIX_IO): plain
// POSIX calls, or QFile and QFileInfo for systems without them.

#include "fortunesformat.h"

#include <QByteArrayView>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

namespace fortune {

// How long a writer waits for another writer's lock before it gives up. A
// store holds the lock for a millisecond or so, an import for one batch of
// about a megabyte at a time: far longer means a program that keeps it.
inline constexpr std::chrono::seconds kLockPatience{30};

// The encoding from the first bytes of an open file.
class OpenFile;
TextEncoding encodingOf(OpenFile &file);
// The text of a UTF-16 file (of that encoding) from offset from on, as UTF-8:
// such files come from editors and are small, so they are decoded whole.
// nullopt, with the file's errorString(), when it cannot be read.
std::optional<QByteArray> utf16TextOf(OpenFile &file, TextEncoding encoding, qint64 from);

// Compares what the platform knows of a file's identity; equal ids name the
// same file (where the platform cannot tell, ids never compare equal).
struct FileId {
    quint64 a = 0;
    quint64 b = 0;
    bool valid = false;
    bool operator==(const FileId &o) const { return valid && o.valid && a == o.a && b == o.b; }
};

// What a path names now, seen without opening it: the file's identity (not
// valid when nothing is there), its size (-1 then) and the time it was last
// written. A reader that follows a file looks here before it reads again.
struct PathLook {
    FileId id;
    qint64 size = -1;
    qint64 modified = 0;
    // Nothing to read again: the same file (or none), as large and as last written.
    bool unchangedFrom(const PathLook &o) const
    {
        return id.valid == o.id.valid && id.a == o.id.a && id.b == o.id.b && size == o.size && modified == o.modified;
    }
};
PathLook lookAtPath(const QString &path);

class OpenFile {
public:
    enum class Mode {
        Read,   // never blocks: a folder, a pipe or a device is refused
        Append, // read and append; the file is created when missing
    };

    OpenFile();
    ~OpenFile();
    OpenFile(OpenFile &&other) noexcept;
    OpenFile &operator=(OpenFile &&other) noexcept;

    // False with problem() and errorString() set when the file cannot be used.
    bool open(const QString &path, Mode mode);
    void close();
    bool isOpen() const;
    const QString &path() const { return m_path; }

    // Set by the last failed call.
    FileProblem problem() const { return m_problem; }
    const QString &errorString() const { return m_error; }
    // The message for the last failure.
    QString message(FileAccess access) const { return fileMessage(access, m_problem, m_path, m_error); }

    // -1 on failure.
    qint64 size();
    // Up to maxSize bytes from offset; fewer only at the end of the file. -1 on failure.
    qint64 readAt(qint64 offset, char *data, qint64 maxSize);
    // Appends the bytes at the file's end, in one write unless the system
    // takes only part of it (then the rest is tried, so that a full disk
    // comes back with its reason). Not all or nothing: a reader may see the
    // start of it while it is under way, and a writer killed in the middle
    // leaves the start of it (the system gives up a write where a page of
    // the file ends). True once all of it is written; false with
    // errorString() the system's reason, what went out staying.
    bool append(QByteArrayView bytes);
    // Cuts the file back to length bytes.
    bool truncate(qint64 length);
    // Does the path still name this open file (not removed, not replaced)?
    bool isStillAtPath();
    FileId id();

    // An advisory lock between processes that append to the same file.
    // Where the file system has no such locks, it is granted.
    enum class LockTry { Locked, Busy, NoLocks };
    // Never waits: Busy while another writer holds it.
    LockTry tryLock();
    // Waits for another holder by sleeping, kLockPatience at most; false
    // (with FileProblem::Locked) when it cannot be had. Not for a thread that
    // has a window to keep alive: that one tries again from its event loop.
    bool lock();
    void unlock();

private:
    bool fail(FileProblem problem, const QString &error);

    struct Impl;
    std::unique_ptr<Impl> d;
    QString m_path;
    FileProblem m_problem = FileProblem::None;
    QString m_error;
};

// A small file beside a fortunes file, for a note that must outlive the
// process that writes it. Only a regular file with one link is ever taken
// for one: a symbolic or hard link, a folder, a pipe or a device in its place
// is never opened (so never waited on), written through, read or removed.
// Makes the note as a new file of its own, removing a note that stands there
// first; empty, or why it could not (the system's reason).
QString writeSideFile(const QString &path, QByteArrayView bytes);
// The whole note (at most maxSize bytes); nullopt when there is none.
std::optional<QByteArray> readSideFile(const QString &path, qint64 maxSize);
// Removes a note; false, with why, when one stands there and cannot be removed.
bool removeSideFile(const QString &path, QString *why = nullptr);

// A file replaced in one step, for what is written whole (an export, the
// reload file, the settings): the new content goes to a temporary file in the
// target's folder, which commit() flushes to the disk and renames over the
// target. So the target holds its former content or the whole new one, never
// a part, whenever the program stops. A symbolic link is followed: the file
// it names is replaced, the link stays. The new file keeps the permissions
// of the one it replaces. Only a regular file, or a path where nothing is
// yet, is replaced: open() refuses anything else. Every failure leaves the
// target as it was and no temporary file behind, and errorString() gives the
// system's reason ("No space left on device").
class ReplacedFile {
public:
    explicit ReplacedFile(QString path);
    ~ReplacedFile(); // not committed: the temporary file goes
    ReplacedFile(const ReplacedFile &) = delete;
    ReplacedFile &operator=(const ReplacedFile &) = delete;

    bool open();
    // All of bytes, or false.
    bool write(QByteArrayView bytes);
    bool commit();
    const QString &errorString() const { return m_error; }

private:
    bool fail(QString why);

    struct Impl;
    std::unique_ptr<Impl> d;
    QString m_path;
    QString m_error;
};

// Where a symbolic link at path leads, link after link (path itself when it is
// none): the file a writer means, which may not exist yet.
QString followedLinks(const QString &path);

} // namespace fortune
