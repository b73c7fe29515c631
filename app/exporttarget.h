#pragma once

// Where --export writes: a file replaced in one step, or a stream written in
// place, never a pipe, a device or a terminal replaced by a file.

#include "classicfile.h"

class QIODevice;

namespace fortune {

// Writes the fortunes of list as a classic file (exportClassicFortunes) to
// target:
// - "-": to out, the standard output;
// - a regular file, or a path where nothing is yet (a symbolic link is
//   followed to its target): replaced in one step (ReplacedFile), so it
//   holds its former content or the whole export;
// - anything else (a pipe, a device, a terminal, /dev/stdout or /dev/fd/N):
//   written in place as a stream, whose reader sees what went out before an
//   error.
// Refused, before a byte is written, when target is the file source under
// any name, link or descriptor: also when the standard output is (">> source"
// in a shell, for "-", /dev/stdout or /dev/fd/N). The error names the real
// cause ("No space left on device", "Broken pipe").
ClassicExport exportClassicFile(const FortuneList &list, const QString &target, const QString &source,
                                QIODevice &out);

// Does target name the standard output ("-", /dev/stdout, /dev/fd/1)?
bool isStandardOutput(const QString &target);

} // namespace fortune
