#pragma once

#include "fortunelist.h"

#include <QByteArray>
#include <QString>

class QRandomGenerator;

namespace fortune {

struct RandomPick {
    enum class Outcome {
        Picked,    // fortune holds the record, in the form the loader stores it
        NoFortune, // the file holds no fortune that is not empty
        Missing,   // the file does not exist
        Failed,    // the file could not be read
    };
    Outcome outcome = Outcome::NoFortune;
    QByteArray fortune;
    QString error; // unless Picked: one sentence that names the file
};

struct RandomPickOptions {
    // Files below this size are read once from end to end, which costs less
    // than sampling them.
    qint64 scanBelow = 64 * 1024;
    // What the sampling may read, as a share of the file's size (each read
    // also counts a few KiB for itself), before it reads the file once from
    // end to end instead.
    double sampleBudget = 0.25;
};

// One fortune of a fortunes file, every non-empty record (isEmptyFortune)
// equally likely, usually reading only a few KiB around a random spot rather
// than the whole file. The records and their text are exactly those
// loadFortunesFile would store; a UTF-8 byte-order mark is not part of the
// first one. Pipes, devices and folders are refused before they are opened.
RandomPick pickRandomFortune(const QString &path, QRandomGenerator &random,
                             const RandomPickOptions &options = {});

} // namespace fortune
