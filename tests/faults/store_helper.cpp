// The window in a process of its own, so a test can run it under a file-size
// limit: loads COLLECTION, clicks "Download Fortunes" against 127.0.0.1:PORT,
// and once the download has ended prints what the user would see, then browses
// on to show the program still runs.
//   faults_store_helper COLLECTION PORT
#include "../testutil.h"
#include "form1.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

using namespace std::chrono_literals;

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc != 3)
        return 2;
    fortune::Form1 form(QString::fromLocal8Bit(argv[1]), QStringLiteral("/nonexistent/reload.txt"));
    auto *dialogs = new RecordingDialogs;
    form.setDialogs(std::unique_ptr<fortune::Dialogs>(dialogs));
    form.setSite(fortune::SiteSettings{QStringLiteral("127.0.0.1"), quint16(QByteArray(argv[2]).toUInt())});
    form.download().setTimeouts(fortune::DownloadTimeouts{5000ms, 5000ms, 10000ms});

    const auto button = [&](const char *name) { return form.findChild<QPushButton *>(QLatin1String(name)); };
    const auto count = [&] { return form.findChild<QLabel *>(QStringLiteral("Label1"))->text(); };
    QObject::connect(&form, &fortune::Form1::loadFinished, &form, [&] { button("Command3")->click(); });
    // Connected after the window's own handler, so its message is already shown.
    QObject::connect(&form.download(), &fortune::DownloadLoop::finished, &form, [&] {
        std::printf("count %s %s\n", qPrintable(count()), qPrintable(count()));
        for (const QString &m : dialogs->messages)
            std::printf("message %s\n", qPrintable(QString(m).replace(u'\n', u' ')));
        button("cmdNext")->click();
        button("cmdNext")->click();
        std::printf("browsed %s %s\n", qPrintable(form.findChild<QLabel *>(QStringLiteral("lblFNum"))->text()), form.isVisible() ? "visible" : "gone");
        std::fflush(stdout);
        app.quit();
    });
    QTimer::singleShot(30s, &app, [] { std::_Exit(3); });
    form.Form_Load();
    return app.exec();
}
