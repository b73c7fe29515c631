#include "connection.h"
#include "fortunesformat.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

namespace fortune {

// The window's program starts without Qt Network and the nine libraries it
// brings (Kerberos, libproxy, the resolver...): loading them is a tenth of a
// bare window's start. They come with the network module, which sits beside
// the program in the build folder and in the package's library folder, and
// is loaded when the first connection is made. What it holds is
// tcpconnection.cpp, which the tests link directly.
MakeConnection connectionMaker(QString *why)
{
    static MakeConnection maker = nullptr;
    if (maker)
        return maker;
    const QDir programDir(QCoreApplication::applicationDirPath());
    QStringList missing;
    QString problem;
    for (const QString &dir : {programDir.path(), programDir.filePath(QStringLiteral(FORTUNE_NETWORK_MODULE_DIR))}) {
        const QString path = QDir::cleanPath(QDir(dir).filePath(QStringLiteral(FORTUNE_NETWORK_MODULE)));
        if (!QFileInfo::exists(path)) {
            missing << shownPath(path);
            continue;
        }
        QLibrary module(path);
        maker = reinterpret_cast<MakeConnection>(module.resolve("fortune_tcp_connection_1"));
        if (maker)
            return maker;
        problem = module.errorString();
    }
    if (why)
        *why = problem.isEmpty()
                   ? QStringLiteral("the program's network module is missing (neither \"%1\" nor \"%2\" exists)").arg(missing[0], missing[1])
                   : QStringLiteral("the program's network module cannot be used: %1").arg(problem);
    return nullptr;
}

} // namespace fortune
