// Builds the Debian package, lets Debian's own checkers judge it, unpacks it
// into an empty root and starts the installed program there.
#include "../testutil.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using testutil::run;

class TestPackage : public QObject {
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_deb;
    QString m_root;

    QString installed(const char *path) const { return QDir(m_root).filePath(QLatin1String(path)); }

    QProcessEnvironment environment(const char *platform) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"QT_QPA_PLATFORM"_s, QLatin1String(platform));
        env.insert(u"HOME"_s, m_work.filePath(u"home"_s));
        env.insert(u"XDG_RUNTIME_DIR"_s, m_work.path());
        // The installed icons, and the hicolor theme's index that tells their sizes.
        env.insert(u"XDG_DATA_DIRS"_s, installed("usr/share") + u":/usr/share"_s);
        return env;
    }

private slots:
    void initTestCase()
    {
        const QString out = m_work.filePath(u"out"_s);
        const auto cpack = run(u"" CPACK_COMMAND ""_s, {u"--config"_s, u"" CPACK_CONFIG ""_s, u"-G"_s, u"DEB"_s, u"-B"_s, out});
        QVERIFY2(cpack.code == 0, cpack.out + cpack.err);
        const QStringList debs = QDir(out).entryList({u"*.deb"_s}, QDir::Files);
        QCOMPARE(debs.size(), 1);
        m_deb = QDir(out).filePath(debs.first());
        m_root = m_work.filePath(u"root"_s);
        QCOMPARE(run(u"dpkg-deb"_s, {u"-x"_s, m_deb, m_root}).code, 0);
    }

    // lintian: copyright, changelog, manual page, dependencies, description,
    // desktop entry, file modes; appstreamcli: the metainfo.
    void debianChecksPass()
    {
        for (const QStringList &check :
             {QStringList{u"lintian"_s, u"--fail-on"_s, u"error,warning"_s, m_deb},
              QStringList{u"appstreamcli"_s, u"validate"_s, u"--no-net"_s, installed("usr/share/metainfo/" APP_ID ".metainfo.xml")}}) {
            const auto checked = run(check[0], check.mid(1));
            QVERIFY2(checked.code == 0, check[0].toUtf8() + ": " + checked.out + checked.err);
        }
    }

    void installedProgramRuns()
    {
        QVERIFY(QFile::exists(installed("usr/share/doc/fortune-collector/examples/nginx/fortune-site.conf")));
        // The window, offscreen, up with its collection loaded and closed again.
        QCOMPARE(run(installed("usr/bin/fortune-collector"), {u"--quit-after-start"_s}, environment("offscreen")).code, 0);
    }

    // The user unit as installed: sandboxed (systemd-analyze rates it "OK" at
    // least), with the one "--port 8080 " that README's recipe turns into
    // instances on ports of their own.
    void installedUnit()
    {
        const QString unit = installed("usr/lib/systemd/user/fortune-site.service");
        QCOMPARE(testutil::readFile(unit).count("--port 8080 "), 1);
        if (QStandardPaths::findExecutable(u"systemd-analyze"_s).isEmpty()) {
            if (qEnvironmentVariableIsSet("CI"))
                QFAIL("systemd-analyze is not installed (Debian package systemd); CI needs it");
            QSKIP("needs systemd-analyze (Debian package systemd)");
        }
        const auto rated = run(u"systemd-analyze"_s, {u"security"_s, u"--offline=true"_s, unit});
        const auto level = QRegularExpression(u"exposure level for \\S+: [0-9.]+ (\\w+)"_s).match(QString::fromUtf8(rated.out));
        QVERIFY2(rated.code == 0 && QStringList({u"PERFECT"_s, u"SAFE"_s, u"OK"_s}).contains(level.captured(1)),
                 rated.out.right(300) + rated.err);
    }

    // What a user does after installing: fortune-site shares a classic file,
    // and the window, started with only a settings file that names that site,
    // downloads its fortunes into the collection.
    void installedSiteServesInstalledWindow()
    {
        QVERIFY(testutil::writeFile(m_work.filePath(u"classic"_s), "Packaged one\n%\nPackaged two\n"));
        QProcess site;
        site.start(installed("usr/bin/fortune-site"), {u"--port"_s, u"0"_s, u"--file"_s, m_work.filePath(u"classic"_s)});
        QVERIFY2(site.waitForReadyRead(20'000), site.readAllStandardError().constData());
        const QString port = QRegularExpression(u"127\\.0\\.0\\.1:(\\d+)/"_s).match(QString::fromUtf8(site.readLine())).captured(1);
        QVERIFY(!port.isEmpty());
        QProcessEnvironment env = environment("offscreen");
        env.remove(u"XDG_CONFIG_HOME"_s);
        env.remove(u"XDG_DATA_HOME"_s);
        QVERIFY(QDir().mkpath(m_work.filePath(u"home/.config/fortune-collector"_s)));
        QVERIFY(testutil::writeFile(m_work.filePath(u"home/.config/fortune-collector/fortune-collector.conf"_s),
                                    "[General]\nsite=127.0.0.1:" + port.toLatin1() + "\n"));
        QProcess window;
        window.setProcessEnvironment(env);
        window.start(installed("usr/bin/fortune-collector"), {u"--start-download"_s});
        QVERIFY(window.waitForStarted(10'000));
        const auto count = [&] { return run(installed("usr/bin/fortune-collector"), {u"--count"_s}, env).out.trimmed(); };
        const bool both = QTest::qWaitFor([&] { return count() == "2" || window.state() != QProcess::Running; }, 30'000);
        window.kill();
        window.waitForFinished();
        site.kill();
        site.waitForFinished();
        QVERIFY2(both && count() == "2", window.readAllStandardError().constData());
    }

    // Docks tie a window to its launcher by the window's class (the entry's
    // StartupWMClass) and show the entry's icon. Under a real X server the
    // window must carry both, the icon found in the installed theme (the
    // built-in one has 48 pixels only).
    void windowMatchesItsLauncher()
    {
        if (QStandardPaths::findExecutable(u"xprop"_s).isEmpty() && !qEnvironmentVariableIsSet("CI"))
            QSKIP("needs xvfb-run, xdotool and xprop (Debian packages xvfb, xdotool, x11-utils)");
        const QString entry = QString::fromUtf8(testutil::readFile(installed("usr/share/applications/" APP_ID ".desktop")));
        QVERIFY(entry.contains(QLatin1String("\nIcon=" APP_ID "\n")));
        const QString windowClass = QRegularExpression(u"\nStartupWMClass=(.+)\n"_s).match(entry).captured(1);
        const char *script = R"("$1" & w=$(timeout 30 xdotool search --sync --onlyvisible --class "^$2\$" | head -n 1)
                                xprop -id "$w" _NET_WM_ICON | grep -o 'Icon ([0-9]* x [0-9]*)'; kill $!)";
        const auto x = run(u"xvfb-run"_s, {u"-a"_s, u"sh"_s, u"-c"_s, QLatin1String(script), u"sh"_s,
                                           installed("usr/bin/fortune-collector"), windowClass},
                           environment("xcb"), 60'000);
        QVERIFY2(x.out.contains("Icon (128 x 128)"), x.out + x.err);
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
