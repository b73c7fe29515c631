#include "reloadfile.h"

#include "fileio.h"

#include <QSaveFile>

namespace fortune {

Status rewriteReloadFile(const QString &path)
{
    QSaveFile file(path);
    const QByteArray line = kSeparator.toByteArray() + "\r\n";
    if (!file.open(QIODevice::WriteOnly) || file.write(line) != line.size() || !file.commit())
        return Status::failure(fileMessage(FileAccess::Write, FileProblem::Failed, path, file.errorString()));
    return {};
}

} // namespace fortune
