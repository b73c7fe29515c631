#pragma once

#include "sitesettings.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

class QIODevice;
class QRandomGenerator;

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

// argc and argv for the window's QApplication: the program and Qt's own
// options, nothing of the program's.
class ToolkitArguments {
public:
    ToolkitArguments(const char *program, const QStringList &options);
    int &argc() { return m_argc; }
    char **argv() { return m_argv.data(); }

private:
    std::vector<QByteArray> m_bytes;
    std::vector<char *> m_argv;
    int m_argc = 0;
};

} // namespace fortune
