#include "location.h"

#include "fileio.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <filesystem>
#include <system_error>

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

QString makeFolderFor(const QString &filePath)
{
    const QString folder = QFileInfo(filePath).absolutePath();
    // QDir::mkpath would only say that it failed, not why.
#ifdef Q_OS_WIN
    const std::filesystem::path native(folder.toStdWString());
#else
    const std::filesystem::path native(QFile::encodeName(folder).toStdString());
#endif
    std::error_code error;
    std::filesystem::create_directories(native, error);
    if (!error)
        return {};
    QString why = QString::fromLocal8Bit(error.message());
    if (!why.isEmpty())
        why[0] = why[0].toLower();
    return QStringLiteral("Could not create the folder \"%1\" for the fortunes file: %2.")
        .arg(shownPath(folder), why);
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
