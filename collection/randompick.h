#pragma once

#include "fortunelist.h"

#include <QByteArray>
#include <QString>

class QRandomGenerator;

namespace fortune {

struct RandomPick {
    enum class Outcome {
        Picked,  // fortune holds the record, in the form the loader stores it
        Empty,   // the file holds no record
        Missing, // the file does not exist
        Failed,  // the file could not be read; error says why
    };
    Outcome outcome = Outcome::Empty;
    QByteArray fortune;
    QString error;
};

struct RandomPickOptions {
    // Files up to this size are simply loaded whole.
    qint64 wholeFileBelow = 64 * 1024;
    // Rejected landings before giving up on sampling and loading the file.
    int maxTries = 200;
};

// One record of a fortunes file, every record equally likely, usually reading
// only a few KiB around a random spot rather than the whole file. The records
// and their text are exactly those loadFortunesFile would store.
RandomPick pickRandomFortune(const QString &path, QRandomGenerator &random,
                             const RandomPickOptions &options = {});

} // namespace fortune
