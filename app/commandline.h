#pragma once

#include "randompick.h"
#include "sitesettings.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace fortune {

// What the window needs from the command line.
struct StartOptions {
    std::optional<SiteSettings> site; // --site HOST[:PORT]; the built-in site when absent
    bool quitAfterStart = false;      // end once the window is up and loaded (start-up benchmark)
    bool startDownload = false;       // click "Download Fortunes" once loaded (killed-download test)
    QStringList toolkitOptions;       // Qt's own (-style, -platform, ...), with their values
};

// What the command line asks for.
struct Invocation {
    enum class Action {
        Window,     // no console action: open the window
        Help,
        HelpAll,    // --help-all: with the toolkit's options
        Version,
        Count,      // --count
        Search,     // --search TERM
        Random,     // --random
        Export,     // --export FILE
        Import,     // --import FILE, once or more
        UsageError, // error says what is wrong
    };
    Action action = Action::Window;
    QString term;  // --search
    bool list = false; // --search TERM --list: the fortunes themselves
    LengthLimit length; // --random --short or --long, --length N
    QString file;  // --file; empty means the program's own collection
    QString exportFile; // --export
    QStringList importFiles; // --import, in the order given
    QByteArray encoding;     // --encoding, of the imported files; empty: UTF-8, or else Windows-1252
    StartOptions start;
    QString error;
};

// Exit status for a command line that makes no sense; a file that cannot be
// read gives 1.
inline constexpr int kUsageExitCode = 2;

// Reads the arguments (args[0] is the program). Needs no QCoreApplication.
// The program's own options come first: the word after one that takes a value
// is that value, even when it starts with a dash. Qt's own options for the
// window (-platform, -style, ...) are set aside for the window.
Invocation parseArguments(const QStringList &args);

// The help of the program's own options, as --help prints it before the
// collection's place. Needs a QCoreApplication.
QString optionsHelp();

} // namespace fortune
