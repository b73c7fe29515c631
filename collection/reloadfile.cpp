#include "reloadfile.h"

#include "fileio.h"
#include "fortunesformat.h"

namespace fortune {

Status rewriteReloadFile(const QString &path)
{
    ReplacedFile file(path);
    const QByteArray line = QByteArray(kSeparator.data(), kSeparator.size()).append(kCrLf);
    if (!file.open() || !file.write(line) || !file.commit())
        return Status::failure(fileMessage(FileAccess::Write, FileProblem::Failed, path, file.errorString()));
    return {};
}

} // namespace fortune
