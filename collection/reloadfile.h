#pragma once

#include "fileio.h"
#include "fortunelist.h"

namespace fortune {

// The hidden extraction test's rewrite of the reload file, in its two steps:
// the file is emptied first (created when missing) and kept open, empty, while
// the test shows its box; then it gets its one separator line and is closed.
// Through the file layer: a folder, a pipe or a device at the path is refused
// and left alone; a symbolic link is followed to its file.
class ReloadFileRewrite {
public:
    // Opens the file and empties it, unless it is the collection file itself
    // (a program kept in the home folder shares its fortunes.txt with
    // "Reload"), which no test may empty (told apart by FileId, where the
    // file layer can tell files apart). On failure the file is as it was,
    // and the message says why.
    Status empty(const QString &path, const QString &collectionPath);
    // Writes the separator line and closes the file. On failure the file is
    // left empty, and the message says so.
    Status finish();

private:
    OpenFile m_file;
};

} // namespace fortune
