#pragma once

#include <QString>

namespace fortune {

// The program's title, for message and input boxes. It is deliberately not the
// application display name: Qt appends that to every window title, and the
// window's title bar must read just "Form1".
QString programTitle();

// Names, version and title of the running application.
void describeApplication();

// Ties the window to its launcher: the desktop entry's name, and the window
// icon from the installed icon theme, or the one built in. Needs the
// QApplication.
void tieToLauncher();

// On a desktop without a display Qt aborts with a long complaint. Returns the
// one line to print instead, or an empty text when a display (or an explicit
// Qt platform) is there. Call before the QApplication exists.
QString missingDisplayMessage(int argc, char **argv);

} // namespace fortune
