#pragma once

// --import: adds the fortunes of other files to a collection.

#include <QByteArray>
#include <QStringList>

class QIODevice;

namespace fortune {

// Adds the fortunes of each file (classic or this program's format, read in
// encoding when one is given) that the collection at path does not hold yet,
// and prints "N new fortunes, M already in the collection" on out. A file
// that cannot be read ends it; what earlier files added stays. Returns the
// exit status.
int importFiles(const QStringList &files, const QByteArray &encoding, const QString &path, QIODevice &out,
                QIODevice &err);

} // namespace fortune
