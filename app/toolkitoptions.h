#pragma once

// Qt's own command-line options (-style, -platform, ...), which the window's
// QApplication reads: told apart from the program's, listed by --help-all and
// handed to the window alone.

#include <QString>
#include <QStringList>

#include <vector>

namespace fortune {

// Is arg one of Qt's options (with one dash or two)? valueFollows: its value
// is the next word rather than after "=".
bool isToolkitOption(const QString &arg, bool &valueFollows);

// The options of the window, for --help-all.
QString toolkitHelp();

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
