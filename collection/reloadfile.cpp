#include "reloadfile.h"

#include "fortunesformat.h"

#include <QSaveFile>

namespace fortune {

Status rewriteReloadFile(const QString &path)
{
    QSaveFile file(path);
    const QByteArray line = QByteArray(kSeparator.data(), kSeparator.size()).append(kCrLf);
    if (!file.open(QIODevice::WriteOnly) || file.write(line) != line.size() || !file.commit())
        return Status::failure(fileMessage(FileAccess::Write, FileProblem::Failed, path, file.errorString()));
    return {};
}

} // namespace fortune
