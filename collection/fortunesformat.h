#pragma once

// The fortunes file's format in one place: the separator line, line ends,
// byte-order marks, a record as it is written and as it is stored, and the
// messages that speak of the file. The reader, the appender, the random
// pick, the classic reader and the fortune site all go by these.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstring>

namespace fortune {

// The line that closes every record. Lines after the last one belong to no
// record (stray lines).
inline constexpr QByteArrayView kSeparator{"||||||||||##########||||||||||"};

// What this program ends every line with, on disk and in the list. A reader
// takes a lone LF too; a CR right before an LF (or right before the end of
// the file) belongs to the line end, not to the line.
inline constexpr QByteArrayView kCrLf{"\r\n"};

// What a record adds to its text on disk: CR LF, the separator, CR LF.
inline constexpr qsizetype kRecordOverhead = 2 * kCrLf.size() + kSeparator.size();

// Byte-order marks. A UTF-8 mark is not text; a UTF-16 file is read (decoded
// whole) but never written to.
inline constexpr QByteArrayView kUtf8Mark{"\xEF\xBB\xBF"};
inline constexpr QByteArrayView kUtf16LEMark{"\xFF\xFE"};
inline constexpr QByteArrayView kUtf16BEMark{"\xFE\xFF"};

// How a fortunes file's text is encoded, from its byte-order mark. Without a
// mark the file is UTF-8 (records that are not valid UTF-8 read as Windows-1252).
struct TextEncoding {
    enum class Kind { Utf8, Utf16LE, Utf16BE };
    Kind kind = Kind::Utf8;
    qint64 markSize = 0; // the text starts after the mark
};
TextEncoding encodingOf(QByteArrayView head);

// Is this a separator line? line is the line as it stands in the file
// without its LF; a CR at its end is part of the line end.
bool isSeparatorLine(QByteArrayView line);

// The same for a scanner that stands at the start of a line in a buffer with
// at least kSeparator.size() + 2 bytes readable from line: a separator line
// ended by LF or CR LF? The offset of its LF goes to lineFeed.
inline bool separatorLineAt(const char *line, qsizetype &lineFeed)
{
    constexpr qsizetype n = kSeparator.size();
    if (std::memcmp(line, kSeparator.data(), n) != 0)
        return false;
    if (line[n] == '\n') {
        lineFeed = n;
        return true;
    }
    if (line[n] == '\r' && line[n + 1] == '\n') {
        lineFeed = n + 1;
        return true;
    }
    return false;
}

// Calls f(line) for every line of text as a reader sees it once text and CR
// LF are written: split at LF, one CR before an LF dropped.
template <typename F>
void forEachWrittenLine(QByteArrayView text, F &&f)
{
    qsizetype start = 0;
    for (;;) {
        const qsizetype lf = text.indexOf('\n', start);
        if (lf < 0) {
            f(text.sliced(start));
            return;
        }
        qsizetype end = lf;
        if (end > start && text[end - 1] == '\r')
            --end;
        f(text.sliced(start, end - start));
        start = lf + 1;
    }
}

// Would text, written as a record, hold a separator line (and so be read
// back as two records)?
bool holdsSeparatorLine(QByteArrayView text);

// Why such a text is never stored: the one wording, for a store refused and
// for the fortunes a download or an import leaves out ("... left out: " it).
QString separatorLineReason();

// The record form: text exactly as the reader gives it back after the
// appender wrote it, every line followed by CR LF. The list holds every
// fortune in this form, and the duplicate test compares it.
QByteArray recordForm(QByteArrayView text);

// Appends text as one record goes to disk: text, CR LF, the separator, CR LF.
// Every writer makes its records here, so this is where a text that holds a
// separator line is refused: false, and out as it was.
[[nodiscard]] bool appendRecordBytes(QByteArray &out, QByteArrayView text);

enum class FileAccess { Read, Write };

enum class FileProblem {
    None,
    Missing,      // no such file (for writing: no such folder)
    Folder,       // a folder where the file should be
    NotRegular,   // a pipe, a socket or a device
    NoPermission, // the system refuses access
    Utf16,        // a UTF-16 file, which is read but never written
    NoMemory,     // the file's text does not fit in memory
    Locked,       // another writer held its lock for longer than a store waits
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

} // namespace fortune
