#pragma once

#include <QByteArray>

#include <optional>

namespace fortune {

// The user's INI settings file edited as text, a line at a time, so that all
// but the line changed stays as it was written: comments, other programs'
// sections, order, spacing, line ends. QSettings would write the whole file
// anew in a form of its own (comments dropped, keys sorted, names and values
// escaped its way), so it only ever reads the file.
//
// A line is what ends in LF, a CR before the LF belonging to the line end,
// and what follows the last LF.

// A line that is neither blank, a comment (";" or "#" first), a [section]
// nor key=value: QSettings guesses at such a line, and the window does not
// write a file that holds one.
struct IniBadLine {
    qsizetype number = 0; // from 1
    QByteArray text;
};
std::optional<IniBadLine> iniBadLine(QByteArrayView file);

// The file (which has no bad line) with key of [General] set to value: each
// line of the key, in [General] or before any section (where QSettings reads
// [General] too), keeps what stands up to its "=" and the blanks after it and
// gets the new value. A key not there yet is added after the last key of
// [General], or after its header; a file without [General] gains one at its
// end. A null value removes the key's lines. Added lines end as the file's
// first line does (LF in a file without any).
QByteArray withGeneralValue(QByteArrayView file, QByteArrayView key, std::optional<QByteArrayView> value);

} // namespace fortune
