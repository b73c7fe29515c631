// The real window on a real X server (Xvfb): a click on ">>" sent through the
// server moves from the first fortune to the second. The last screenshot is
// kept in the build folder as window-xvfb.png.
#include "../testutil.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Client-area geometry of the window, in pixels.
const QRect kFortuneLabel(8 + 8, 48 + 40, 529, 265);  // lblFortune inside Frame1
const QRect kCursorLabel(8 + 48, 48 + 16, 65, 17);    // lblFNum inside Frame1
const QPoint kNextButton(8 + 120 + 33 / 2, 48 + 16 + 17 / 2); // centre of cmdNext

int darkPixels(const QImage &image, const QRect &area)
{
    int dark = 0;
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x)
            dark += qGray(image.pixel(x, y)) < 110;
    }
    return dark;
}

} // namespace

class TestXDisplay : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_server;
    QProcess m_program;
    QProcessEnvironment m_env;
    QString m_window;
    QString m_importer;
    QString m_xdotool;

    bool runTool(const QString &tool, const QStringList &args, QByteArray *out = nullptr)
    {
        const testutil::Ran ran = testutil::run(tool, args, m_env, 30'000);
        if (out)
            *out = ran.out;
        return ran.code == 0;
    }

    QImage screenshot()
    {
        const QString file = m_dir.filePath(QStringLiteral("shot.png"));
        QFile::remove(file);
        if (!runTool(m_importer, {QStringLiteral("-window"), m_window, QStringLiteral("png:") + file}))
            return {};
        return QImage(file).convertToFormat(QImage::Format_RGB32);
    }

private slots:
    void initTestCase()
    {
        const QString server = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        m_xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
        m_importer = QStandardPaths::findExecutable(QStringLiteral("import"));
        if (server.isEmpty() || m_xdotool.isEmpty() || m_importer.isEmpty()) {
            const char *why = "needs Xvfb, xdotool and import (Debian packages xvfb, xdotool, imagemagick)";
            if (qEnvironmentVariableIsSet("CI"))
                QFAIL(why);
            QSKIP(why);
        }
        QVERIFY(m_dir.isValid());

        // Xvfb picks a free display and writes its number to the given descriptor.
        m_server.start(server, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                QStringLiteral("0"), QStringLiteral("800x600x24"), QStringLiteral("-nolisten"),
                                QStringLiteral("tcp")});
        QVERIFY(m_server.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(m_server.canReadLine() || m_server.state() == QProcess::NotRunning, 30'000);
        const QByteArray display = m_server.readLine().trimmed();
        QVERIFY2(!display.isEmpty(), m_server.readAllStandardError().constData());

        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + QString::fromLatin1(display));
        m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        m_env.insert(QStringLiteral("HOME"), m_dir.path());
        m_env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path()); // private to this user: 0700
    }

    void clickNext()
    {
        // A copy of the program with its own small collection beside it.
        const QString program = m_dir.filePath(QStringLiteral("fortune-collector"));
        QVERIFY(QFile::copy(QStringLiteral(FORTUNE_EXE), program));
        QVERIFY(testutil::writeFile(m_dir.filePath(QStringLiteral("fortunes.txt")),
                                    "A short one.\r\n||||||||||##########||||||||||\r\n"
                                    "The best way to predict the future is to invent it.\r\n"
                                    "Simple things should be simple, complex things should be possible.\r\n"
                                    "Any sufficiently advanced technology is indistinguishable from magic.\r\n"
                                    "Premature optimization is the root of all evil, or at least most of it.\r\n"
                                    "There are only two hard things: cache invalidation and naming things.\r\n"
                                    "||||||||||##########||||||||||\r\n"));

        m_program.setProcessEnvironment(m_env);
        m_program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_program.start(program, {});
        QVERIFY(m_program.waitForStarted());

        QByteArray found;
        QVERIFY(runTool(m_xdotool, {QStringLiteral("search"), QStringLiteral("--sync"), QStringLiteral("--onlyvisible"),
                                    QStringLiteral("--name"), QStringLiteral("^Form1$")},
                        &found));
        m_window = QString::fromLatin1(found.split('\n').first().trimmed());
        QVERIFY(!m_window.isEmpty());

        // Wait until the window is painted and holds still: the first fortune.
        QImage before;
        QImage previous;
        QTRY_VERIFY_WITH_TIMEOUT((previous = before, before = screenshot(),
                                  !before.isNull() && before == previous
                                      && darkPixels(before, kFortuneLabel) > 0),
                                 30'000);
        const int darkBefore = darkPixels(before, kFortuneLabel);

        QVERIFY(runTool(m_xdotool, {QStringLiteral("mousemove"), QStringLiteral("--window"), m_window,
                                    QString::number(kNextButton.x()), QString::number(kNextButton.y()),
                                    QStringLiteral("click"), QStringLiteral("1")}));

        // Five long lines in place of one short one, and a new cursor value.
        QImage after;
        QTRY_VERIFY_WITH_TIMEOUT((after = screenshot(), darkPixels(after, kFortuneLabel) > 3 * darkBefore + 200),
                                 30'000);
        QVERIFY(after.copy(kCursorLabel) != before.copy(kCursorLabel));

        const QString kept = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("window-xvfb.png"));
        QFile::remove(kept);
        QVERIFY(after.save(kept));
    }

    void cleanupTestCase()
    {
        for (QProcess *process : {&m_program, &m_server}) {
            if (process->state() != QProcess::NotRunning) {
                process->terminate();
                if (!process->waitForFinished(10'000)) {
                    process->kill();
                    process->waitForFinished();
                }
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestXDisplay)
#include "tst_xdisplay.moc"
