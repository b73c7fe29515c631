#pragma once

#include "sitesettings.h"

#include <QString>
#include <QStringList>

#include <optional>

class QIODevice;
class QRandomGenerator;

namespace fortune {

// What the command line asks for.
struct Invocation {
    enum class Action {
        Window,     // no console action: open the window
        Help,
        Version,
        Count,      // --count
        Search,     // --search TERM
        Random,     // --random
        UsageError, // error says what is wrong
    };
    Action action = Action::Window;
    QString term;  // --search
    QString file;  // --file; empty means the program's own collection
    std::optional<SiteSettings> site; // --site HOST[:PORT]; the built-in site when absent
    QString error;
};

// Exit status for a command line that makes no sense; a file that cannot be
// read gives 1.
inline constexpr int kUsageExitCode = 2;

// Reads the arguments (args[0] is the program). Needs no QCoreApplication.
// Qt's own options for the window (-platform, -style, ...) are let through.
Invocation parseArguments(const QStringList &args);

// Runs a console action (anything but Window) on the given collection file and
// returns the exit status: 0 on success, 1 with one line on err when the file
// cannot be read or the output cannot be written, kUsageExitCode for a usage
// error. Help needs a QCoreApplication.
int runConsoleAction(const Invocation &invocation, const QString &collectionPath,
                     QIODevice &out, QIODevice &err, QRandomGenerator &random);

// What the window needs from the command line.
struct StartOptions {
    std::optional<SiteSettings> site; // --site HOST[:PORT]; the built-in site when absent
};

// The first thing main() does, before any QApplication exists: runs a console
// action when the arguments ask for one and returns its exit status, printing
// to stdout and stderr; otherwise returns nullopt with options filled in, and
// the window should open. Loads nothing before it has decided. Any
// QCoreApplication it makes is gone again when it returns.
std::optional<int> runWithoutWindow(int &argc, char **argv, StartOptions &options);

} // namespace fortune
