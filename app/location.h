#pragma once

#include <QString>

namespace fortune {

// Where the collection file lives. A program directory the user can write to
// (a build folder, a portable copy) keeps fortunes.txt beside the program, and
// so does one that already holds fortunes.txt. A copy installed into a system
// directory keeps it in the user's data directory instead.
struct CollectionPlace {
    QString programDir;     // the executable's directory
    bool programDirWritable = false;
    bool programDirHasFile = false; // fortunes.txt already there
    bool systemInstall = false;     // programDir is a system bin directory (/usr/bin, ...)
    QString dataDir;        // QStandardPaths::AppDataLocation
};

// The rule itself, with every fact it depends on passed in.
QString chooseCollectionDir(const CollectionPlace &place);

// The facts for a program in programDir, read from the file system.
CollectionPlace collectionPlaceFor(const QString &programDir);

// The collection file: fortunes.txt in the directory chosen by the rule for
// this program. Needs a QCoreApplication. Creates nothing.
QString collectionFilePath();

// Makes sure the folder of the file at filePath exists, so that the record
// writer can create the file there. Returns an empty text, or the message that
// says which folder could not be created and why.
QString makeFolderFor(const QString &filePath);

// The second file that "Reload" reads: D:\fortunes.txt on Windows, elsewhere
// fortunes.txt in the user's home directory.
QString reloadFilePath();

} // namespace fortune
