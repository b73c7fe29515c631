#include "reloadfile.h"

#include <QSaveFile>

namespace fortune {

Status rewriteReloadFile(const QString &path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return Status::failure(QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
    const QByteArray line = kSeparator.toByteArray() + "\r\n";
    if (file.write(line) != line.size() || !file.commit())
        return Status::failure(QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
    return {};
}

} // namespace fortune
