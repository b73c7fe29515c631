#include "commandline.h"
#include "form1.h"
#include "startup.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    // Console actions (--count, --search, --random, --help, ...) need no display.
    fortune::StartOptions options;
    if (const std::optional<int> status = fortune::runWithoutWindow(argc, argv, options))
        return *status;
    if (const QString problem = fortune::missingDisplayMessage(argc, argv); !problem.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(problem));
        return 1;
    }
    QApplication app(argc, argv);
    fortune::describeApplication();

    fortune::Form1 window;
    // An installed copy keeps its collection in the user's data folder, which
    // may not exist yet; the first stored download needs it.
    window.setMakesCollectionFolder(true);
    if (options.site)
        window.setSite(*options.site);
    // Used by the start-up benchmark: end as soon as the window is up and the
    // collection loaded. Deliberately not a documented option.
    if (QCoreApplication::arguments().contains(QStringLiteral("--quit-after-start")))
        QObject::connect(&window, &fortune::Form1::loadFinished, &app, &QCoreApplication::quit,
                         Qt::QueuedConnection);
    // Used by the killed-mid-download test: "Download Fortunes" is clicked as
    // soon as the collection is loaded. Deliberately not a documented option.
    if (QCoreApplication::arguments().contains(QStringLiteral("--start-download")))
        QObject::connect(&window, &fortune::Form1::loadFinished, &window, &fortune::Form1::Command3_Click,
                         Qt::SingleShotConnection);
    window.Form_Load();
    return app.exec();
}
