#include "startup.h"

#include "windowicon.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QPixmap>

#include <cstring>

namespace fortune {

QString programTitle()
{
    return QStringLiteral("Fortune Collector");
}

void describeApplication()
{
    QCoreApplication::setApplicationName(QStringLiteral("fortune-collector"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FORTUNE_VERSION));
}

void tieToLauncher()
{
    // Docks and task bars match the window to its desktop entry by this name
    // (on Wayland) and by the window's class, the application name, against
    // the entry's StartupWMClass (on X11).
    QGuiApplication::setDesktopFileName(QStringLiteral(FORTUNE_APP_ID));
    // The built-in icon comes as pixels: decoding a PNG here would cost more
    // than the rest of the start-up's own work.
    const QImage builtIn(reinterpret_cast<const uchar *>(kWindowIcon), kWindowIconWidth,
                         kWindowIconHeight, QImage::Format_ARGB32_Premultiplied);
    QApplication::setWindowIcon(
        QIcon::fromTheme(QStringLiteral(FORTUNE_APP_ID), QIcon(QPixmap::fromImage(builtIn))));
}

QString missingDisplayMessage(int argc, char **argv)
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN) && !defined(Q_OS_ANDROID)
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return {};
    // Qt's own -platform option picks a platform just as QT_QPA_PLATFORM does.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0
            || std::strncmp(argv[i], "-platform=", 10) == 0
            || std::strncmp(argv[i], "--platform=", 11) == 0)
            return {};
    }
    return QStringLiteral("fortune-collector: no display found (DISPLAY is not set); start it "
                          "from a desktop session, or set QT_QPA_PLATFORM=offscreen");
#else
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    return {};
#endif
}

} // namespace fortune
