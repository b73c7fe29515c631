#pragma once

// The console actions (--count, --search, --random, --export, --import,
// --help, --version): the program as a command that needs no display.

#include "commandline.h"

#include <optional>

class QIODevice;
class QRandomGenerator;

namespace fortune {

// Runs a console action (anything but Window) on the given collection file and
// returns the exit status: 0 on success, 1 with one line on err when the file
// cannot be read or the output cannot be written, kUsageExitCode for a usage
// error. Help needs a QCoreApplication.
int runConsoleAction(const Invocation &invocation, const QString &collectionPath,
                     QIODevice &out, QIODevice &err, QRandomGenerator &random);

// The first thing main() does, before any QApplication exists: runs a console
// action when the arguments ask for one and returns its exit status, printing
// to stdout and stderr; otherwise returns nullopt with options filled in, and
// the window should open. Loads nothing before it has decided. Any
// QCoreApplication it makes is gone again when it returns.
std::optional<int> runWithoutWindow(int argc, char **argv, StartOptions &options);

} // namespace fortune
