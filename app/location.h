#pragma once

#include <QString>

namespace fortune {

// The collection file: fortunes.txt in the program's directory.
QString collectionFilePath();

// The second file that "Reload" reads: D:\fortunes.txt on Windows, elsewhere
// fortunes.txt in the user's home directory.
QString reloadFilePath();

} // namespace fortune
