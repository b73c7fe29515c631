#pragma once

// How the console actions speak: answers on out, and each problem as one
// line "fortune-collector: ..." on err.

#include <QByteArray>
#include <QString>

class QIODevice;

namespace fortune {

// Every byte written, or false.
bool writeAll(QIODevice &device, QByteArrayView bytes);

// Says message on err as one line and returns code (the exit status).
int fail(QIODevice &err, const QString &message, int code = 1);

// Writes bytes to out: 0, or 1 with the reason on err when they cannot be
// written.
int print(QIODevice &out, QIODevice &err, QByteArrayView bytes);

// Says that out cannot be written, and why; returns 1.
int outputFailed(QIODevice &out, QIODevice &err);

} // namespace fortune
