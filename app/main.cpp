#include "consoleactions.h"
#include "toolkitoptions.h"
#include "form1.h"
#include "savedsite.h"
#include "startup.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    // Console actions (--count, --search, --random, --help, ...) need no display.
    fortune::StartOptions options;
    if (const std::optional<int> status = fortune::runWithoutWindow(argc, argv, options))
        return *status;
    fortune::ToolkitArguments toolkit(argv[0], options.toolkitOptions);
    if (const QString problem = fortune::missingDisplayMessage(toolkit.argc(), toolkit.argv());
        !problem.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        return 1;
    }
    QApplication app(toolkit.argc(), toolkit.argv());
    fortune::describeApplication();
    fortune::tieToLauncher();

    fortune::Form1 window;
    // An installed copy keeps its collection in the user's data folder, which
    // may not exist yet; the first stored download needs it.
    window.setMakesCollectionFolder(true);
    window.rememberSiteIn(fortune::userSettingsPath());
    if (options.site)
        window.setSite(*options.site);
    if (options.quitAfterStart)
        QObject::connect(&window, &fortune::Form1::loadFinished, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);
    if (options.startDownload)
        QObject::connect(&window, &fortune::Form1::loadFinished, &window, &fortune::Form1::Command3_Click,
                         Qt::SingleShotConnection);
    window.Form_Load();
    return app.exec();
}
