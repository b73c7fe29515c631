#pragma once

// The few file operations the collection needs, behind one small class. The
// build picks one of two implementations (CMake option FORTUNE_POSIX_IO): plain
// POSIX calls, or QFile and QFileInfo for systems without them.

#include <QByteArrayView>
#include <QString>

#include <memory>

namespace fortune {

enum class FileAccess { Read, Write };

enum class FileProblem {
    None,
    Missing,      // no such file (for writing: no such folder)
    Folder,       // a folder where the file should be
    NotRegular,   // a pipe, a socket or a device
    NoPermission, // the system refuses access
    Utf16,        // a UTF-16 file, which is read but never written
    Failed,       // any other error; the detail says which
};

// A file's name as messages show it, between their double quotes: in the
// platform's separators, with every character that would not show as itself
// (a line break, a control or format character) escaped as in C, and a quote
// or a backslash that is part of the name too, so the name shown is exactly
// the name ("a\nb" for a name with a line break in it).
QString shownPath(const QString &path);

// The one message for each file failure, for the window and the command line
// alike: "Could not read the fortunes file "PATH": REASON.", the path in the
// platform's separators.
QString fileMessage(FileAccess access, FileProblem problem, const QString &path, const QString &detail = {});

// How a fortunes file's text is encoded, from its byte-order mark. Without a
// mark the file is UTF-8 (records that are not valid UTF-8 read as Windows-1252).
struct TextEncoding {
    enum class Kind { Utf8, Utf16LE, Utf16BE };
    Kind kind = Kind::Utf8;
    qint64 markSize = 0; // the text starts after the mark
};
TextEncoding encodingOf(QByteArrayView head);
// The same from the first bytes of an open file (the random pick reads a
// UTF-16 file through the loader).
class OpenFile;
TextEncoding encodingOf(OpenFile &file);

// Compares what the platform knows of a file's identity; equal ids name the
// same file (where the platform cannot tell, ids never compare equal).
struct FileId {
    quint64 a = 0;
    quint64 b = 0;
    bool valid = false;
    bool operator==(const FileId &o) const { return valid && o.valid && a == o.a && b == o.b; }
};

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
    // Appends the bytes with one write, so another reader sees all or none
    // of them. Returns the bytes written (fewer on a full disk), -1 on failure.
    qint64 append(QByteArrayView bytes);
    // Cuts the file back to length bytes.
    bool truncate(qint64 length);
    // Does the path still name this open file (not removed, not replaced)?
    bool isStillAtPath();
    FileId id();

    // An advisory lock between processes that append to the same file. Waits
    // a bounded while for another holder; false (with a message) when it
    // cannot be had. Where the file system has no such locks, it is granted.
    bool lock();
    void unlock();

private:
    bool fail(FileProblem problem, const QString &error);
    enum class LockTry { Locked, Busy, NoLocks };
    LockTry tryLock();

    struct Impl;
    std::unique_ptr<Impl> d;
    QString m_path;
    FileProblem m_problem = FileProblem::None;
    QString m_error;
};

} // namespace fortune
