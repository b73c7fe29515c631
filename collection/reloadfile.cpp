#include "reloadfile.h"

#include "fortunesformat.h"

namespace fortune {

Status ReloadFileRewrite::empty(const QString &path, const QString &collectionPath)
{
    if (!m_file.open(path, OpenFile::Mode::Append))
        return Status::failure(m_file.message(FileAccess::Write));
    OpenFile collection;
    if (collection.open(collectionPath, OpenFile::Mode::Read) && collection.id() == m_file.id()) {
        m_file.close();
        return Status::failure(fileMessage(FileAccess::Write, FileProblem::Failed, path,
                                           QStringLiteral("it is the collection file itself")));
    }
    if (!m_file.truncate(0)) {
        m_file.close();
        return Status::failure(m_file.message(FileAccess::Write));
    }
    return {};
}

Status ReloadFileRewrite::finish()
{
    const QByteArray line = QByteArray(kSeparator.data(), kSeparator.size()).append(kCrLf);
    if (m_file.append(line)) {
        m_file.close();
        return {};
    }
    // Part of the line (a disk that filled up) would be a stray line: gone too.
    const QString why = m_file.message(FileAccess::Write);
    m_file.truncate(0);
    m_file.close();
    return Status::failure(why + QStringLiteral(" It is left empty."));
}

} // namespace fortune
