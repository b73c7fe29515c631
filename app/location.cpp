#include "location.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace fortune {

namespace {

const QString kFileName = QStringLiteral("fortunes.txt");

// Root may write anywhere, so write permission alone would let an installed copy
// started by root drop its collection into a directory the package manager owns.
// The system's bin directories therefore count as read-only for the rule,
// unless they already hold a collection.
bool isSystemBinDir(const QString &dir)
{
#ifdef Q_OS_UNIX
    const QString clean = QDir::cleanPath(dir);
    for (const char *system : {"/usr/bin", "/usr/local/bin", "/usr/games", "/bin"}) {
        if (clean == QLatin1String(system))
            return true;
    }
#else
    Q_UNUSED(dir);
#endif
    return false;
}

} // namespace

QString chooseCollectionDir(const CollectionPlace &place)
{
    if (place.programDirHasFile)
        return place.programDir;
    if (place.programDirWritable && !place.systemInstall)
        return place.programDir;
    // Without a home there is no data directory; the program's own is then
    // the only place left.
    if (place.dataDir.isEmpty())
        return place.programDir;
    return place.dataDir;
}

CollectionPlace collectionPlaceFor(const QString &programDir)
{
    CollectionPlace place;
    place.programDir = programDir;
    const QFileInfo dir(programDir);
    place.programDirWritable = dir.isDir() && dir.isWritable();
    place.programDirHasFile = QFileInfo(QDir(programDir).filePath(kFileName)).isFile();
    place.systemInstall = isSystemBinDir(programDir);
    place.dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    return place;
}

QString collectionFilePath()
{
    const QString dir = chooseCollectionDir(collectionPlaceFor(QCoreApplication::applicationDirPath()));
    return QDir(dir).filePath(kFileName);
}

bool makeCollectionDir()
{
    return QDir().mkpath(QFileInfo(collectionFilePath()).absolutePath());
}

QString reloadFilePath()
{
#ifdef Q_OS_WIN
    return QStringLiteral("D:/fortunes.txt");
#else
    return QDir::home().filePath(kFileName);
#endif
}

} // namespace fortune
