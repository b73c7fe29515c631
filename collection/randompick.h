#pragma once

#include "fortunelist.h"

#include <QByteArray>
#include <QString>

#include <optional>

class QRandomGenerator;

namespace fortune {

struct RandomPick {
    enum class Outcome {
        Picked,    // fortune holds the record, in the form the loader stores it
        NoFortune, // the file holds no fortune that is not empty (and that the limit accepts)
        Missing,   // the file does not exist
        Failed,    // the file could not be read
    };
    Outcome outcome = Outcome::NoFortune;
    QByteArray fortune;
    QString error; // unless Picked: one sentence that names the file
};

// The most characters --length may call short: a limit on what the fallback
// pass reads of one record to measure it.
inline constexpr qsizetype kLongestLengthLimit = 1'000'000;

// A fortune's length: its characters as shown (UTF-8, or Windows-1252 where
// the text is not valid UTF-8), each line break one character, the last
// line's included: the characters of the fortune as --random prints it.
// Classic fortune's -n counts the same for ASCII text, in bytes.
qsizetype fortuneLength(QByteArrayView text);

// Which fortunes a pick takes, by their length.
struct LengthLimit {
    enum class Kind {
        Any,
        Short, // at most limit characters
        Long,  // more than limit
    };
    Kind kind = Kind::Any;
    qsizetype limit = 160;

    bool accepts(QByteArrayView text) const;
    // The same, from the text's size in bytes where that alone tells (each
    // character takes one to four bytes, a line break one or two).
    std::optional<bool> acceptsSize(qint64 bytes) const;
};

struct RandomPickOptions {
    // Files below this size are read once from end to end, which costs less
    // than sampling them.
    qint64 scanBelow = 64 * 1024;
    // What the sampling may read, as a share of the file's size (each read
    // also counts a few KiB for itself), before it reads the file once from
    // end to end instead.
    double sampleBudget = 0.25;
    LengthLimit length;
};

// One fortune of a fortunes file, every non-empty record (isEmptyFortune)
// that the length limit accepts equally likely, usually reading only a few KiB around a random spot rather
// than the whole file. The records and their text are exactly those
// loadFortunesFile would store; a UTF-8 byte-order mark is not part of the
// first one. Pipes, devices and folders are refused before they are opened.
RandomPick pickRandomFortune(const QString &path, QRandomGenerator &random,
                             const RandomPickOptions &options = {});

} // namespace fortune
