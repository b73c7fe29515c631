// Builds the Debian package, unpacks it into an empty root, checks what it
// installs and starts the installed program there.
#include "../testutil.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using testutil::run;

class TestPackage : public QObject {
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_deb;
    QString m_root;

private slots:
    void initTestCase()
    {
        for (const char *tool : {"dpkg-deb", "dpkg-shlibdeps"}) {
            if (QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty())
                QFAIL(qPrintable(QStringLiteral("%1 is missing (Debian package dpkg-dev)").arg(tool)));
        }
        QVERIFY(m_work.isValid());
        const QString out = m_work.filePath(QStringLiteral("out"));
        const auto cpack = run(QStringLiteral(CPACK_COMMAND),
                                     {QStringLiteral("--config"), QStringLiteral(CPACK_CONFIG),
                                      QStringLiteral("-G"), QStringLiteral("DEB"), QStringLiteral("-B"), out});
        QVERIFY2(cpack.code == 0, cpack.out + cpack.err);
        const QStringList debs = QDir(out).entryList({QStringLiteral("*.deb")}, QDir::Files);
        QCOMPARE(debs.size(), 1);
        m_deb = QDir(out).filePath(debs.first());
        m_root = m_work.filePath(QStringLiteral("root"));
        const auto unpack = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), m_deb, m_root});
        QVERIFY2(unpack.code == 0, unpack.err);
    }

    void control()
    {
        const auto fields = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), m_deb});
        QCOMPARE(fields.code, 0);
        QVERIFY(fields.out.contains("Package: fortune-collector\n"));
        // Worked out from the libraries the program links.
        const qsizetype depends = fields.out.indexOf("Depends: ");
        QVERIFY2(depends >= 0, fields.out.constData());
        const QByteArray line = fields.out.mid(depends, fields.out.indexOf('\n', depends) - depends);
        for (const char *library : {"libc6", "libqt6core6", "libqt6widgets6"})
            QVERIFY2(line.contains(library), line.constData());
    }

    void files_data()
    {
        QTest::addColumn<QString>("path");
        const QString id = QStringLiteral(APP_ID);
        QTest::newRow("program") << QStringLiteral("usr/bin/fortune-collector");
        QTest::newRow("desktop entry") << QStringLiteral("usr/share/applications/%1.desktop").arg(id);
        QTest::newRow("metainfo") << QStringLiteral("usr/share/metainfo/%1.metainfo.xml").arg(id);
        QTest::newRow("svg icon") << QStringLiteral("usr/share/icons/hicolor/scalable/apps/%1.svg").arg(id);
        for (int size : {48, 128}) {
            QTest::addRow("%d px icon", size)
                << QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(id);
        }
    }

    void files()
    {
        QFETCH(QString, path);
        const QFileInfo info(QDir(m_root).filePath(path));
        QVERIFY2(info.isFile() && info.size() > 0, qPrintable(path));
    }

    void desktopEntry()
    {
        const QString file = QDir(m_root).filePath(QStringLiteral("usr/share/applications/" APP_ID ".desktop"));
        const QByteArray entry = testutil::readFile(file);
        for (const char *line : {"Name=Fortune Collector\n", "Exec=fortune-collector\n", "Icon=" APP_ID "\n",
                                 "Type=Application\n"})
            QVERIFY2(entry.contains(line), line);
        const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (!validator.isEmpty()) {
            const auto valid = run(validator, {file});
            QVERIFY2(valid.code == 0, valid.out + valid.err);
        }
    }

    void metainfoValidates()
    {
        const QString validator = QStandardPaths::findExecutable(QStringLiteral("appstreamcli"));
        if (validator.isEmpty())
            QFAIL("appstreamcli is missing (Debian package appstream)");
        const auto valid = run(
            validator, {QStringLiteral("validate"), QStringLiteral("--no-net"),
                        QDir(m_root).filePath(QStringLiteral("usr/share/metainfo/" APP_ID ".metainfo.xml"))});
        QVERIFY2(valid.code == 0, valid.out + valid.err);
    }

    void installedProgramRuns()
    {
        const QString program = QDir(m_root).filePath(QStringLiteral("usr/bin/fortune-collector"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), m_work.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

        const auto count = run(program,
                                     {QStringLiteral("--count"), QStringLiteral("--file"),
                                      QStringLiteral(FIXTURES_DIR "/three.txt")},
                                     env);
        QVERIFY2(count.code == 0, count.err);
        QCOMPARE(count.out, QByteArray("3\n"));

        // The window, offscreen, up and closed again.
        const auto window = run(program, {QStringLiteral("--quit-after-start")}, env);
        QVERIFY2(window.code == 0, window.err);
    }

    // The unpacked root goes with the temporary directory.
    void cleanupTestCase()
    {
        QVERIFY(m_work.remove());
        QVERIFY(!QFileInfo::exists(m_root));
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
