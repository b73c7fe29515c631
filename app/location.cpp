#include "location.h"

#include <QCoreApplication>
#include <QDir>

namespace fortune {

QString collectionFilePath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("fortunes.txt"));
}

QString reloadFilePath()
{
#ifdef Q_OS_WIN
    return QStringLiteral("D:/fortunes.txt");
#else
    return QDir::home().filePath(QStringLiteral("fortunes.txt"));
#endif
}

} // namespace fortune
