// The real window, whole, on a real X server (Xvfb): a click on ">>" moves from a short fortune to a
// long right-to-left one, and the keyboard scrolls it with the focus on a button. The last screenshot is
// kept in the build folder as window-xvfb.png.
#include "../testutil.h"

#include <QDir>
#include <QImage>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class TestXDisplay : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_server, m_program;
    QProcessEnvironment m_env = QProcessEnvironment::systemEnvironment();

    QByteArray tool(const char *name, const QString &args)
    {
        const testutil::Ran ran = testutil::run(QStandardPaths::findExecutable(QLatin1String(name)), args.split(u' '), m_env, 30'000);
        return ran.code == 0 ? ran.out.trimmed() : QByteArray();
    }
    // The fortune area, in a screenshot of the window.
    QImage fortuneArea(const QString &window)
    {
        QFile::remove(m_dir.filePath(u"shot.png"_qs));
        tool("import", u"-window "_qs + window + u' ' + m_dir.filePath(u"shot.png"_qs));
        return QImage(m_dir.filePath(u"shot.png"_qs)).copy(16, 88, 529, 265);
    }
    int darkInFortune(const QString &window)
    {
        const QImage image = fortuneArea(window);
        int dark = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                dark += qGray(image.pixel(x, y)) < 110;
        return dark;
    }

private slots:
    void clickNext()
    {
        const char *why = "needs Xvfb, xdotool and import (Debian packages xvfb, xdotool, imagemagick)";
        const bool tools = !QStandardPaths::findExecutable(u"Xvfb"_qs).isEmpty()
                           && !QStandardPaths::findExecutable(u"xdotool"_qs).isEmpty()
                           && !QStandardPaths::findExecutable(u"import"_qs).isEmpty();
        QVERIFY2(tools || !qEnvironmentVariableIsSet("CI"), why);
        if (!tools)
            QSKIP(why);
        // Xvfb picks a free display and writes its number to the given descriptor.
        m_server.start(u"Xvfb"_qs, u"-displayfd 1 -screen 0 800x600x24 -nolisten tcp"_qs.split(u' '));
        QVERIFY(QTest::qWaitFor(
            [&] { return m_server.canReadLine() || m_server.state() == QProcess::NotRunning; }, 30'000));
        const QByteArray display = m_server.readLine().trimmed();
        QVERIFY2(!display.isEmpty(), m_server.readAllStandardError().constData());
        m_env.insert(u"DISPLAY"_qs, QLatin1Char(':') + QString::fromLatin1(display));
        m_env.insert(u"QT_QPA_PLATFORM"_qs, u"xcb"_qs);
        m_env.insert(u"HOME"_qs, m_dir.path());
        m_env.insert(u"XDG_RUNTIME_DIR"_qs, m_dir.path()); // private to this user: 0700

        // A copy of the program with its own small collection beside it.
        const QString program = m_dir.filePath(u"fortune-collector"_qs);
        QVERIFY(QFile::copy(QStringLiteral(FORTUNE_EXE), program));
        const QByteArray separator = "||||||||||##########||||||||||\r\n", line = "A line of a fortune longer than the window shows.\r\n";
        QVERIFY(testutil::writeFile(m_dir.filePath(u"fortunes.txt"_qs), "A short one.\r\n" + separator
                                        + "\xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d, a Hebrew line, then more:\r\n" + line.repeated(40) + separator));
        m_program.setProcessEnvironment(m_env);
        m_program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_program.start(program, {});
        const QString window = QString::fromLatin1(tool("xdotool", u"search --sync --onlyvisible --name ^Form1$"_qs).split('\n')[0]);
        QVERIFY(!window.isEmpty());

        // Painted and still with the short fortune, then many lines (QTRY counts its waits, not the screenshots).
        int before = 0, previous = -1;
        QVERIFY(QTest::qWaitFor(
            [&] { return (previous = std::exchange(before, darkInFortune(window))) == before && before > 0; }, 5'000));
        tool("xdotool", u"mousemove --window "_qs + window + u" 144 72 click 1"_qs); // the centre of ">>"
        QVERIFY(QTest::qWaitFor([&] { return darkInFortune(window) > 3 * before + 200; }, 5'000));
        // Page Down, pressed with the focus on ">>", scrolls past the first line; Ctrl+Home brings it back.
        const QImage top = fortuneArea(window);
        tool("xdotool", u"key --window "_qs + window + u" Page_Down"_qs);
        QVERIFY(QTest::qWaitFor([&] { return fortuneArea(window) != top; }, 5'000));
        tool("xdotool", u"key --window "_qs + window + u" ctrl+Home"_qs);
        QVERIFY(QTest::qWaitFor([&] { return fortuneArea(window) == top; }, 5'000));
        QVERIFY(QImage(m_dir.filePath(u"shot.png"_qs)).save(QDir(QCoreApplication::applicationDirPath()).filePath(u"window-xvfb.png"_qs)));
    }

    void cleanupTestCase()
    {
        for (QProcess *process : {&m_program, &m_server}) {
            process->terminate();
            if (!process->waitForFinished(10'000))
                process->kill();
        }
    }
};

QTEST_GUILESS_MAIN(TestXDisplay)
#include "tst_xdisplay.moc"
