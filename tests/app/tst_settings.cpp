// The user's settings file: a choice edits the site line and keeps every other
// byte, through links, never over what is not a file; a file with a line that
// is not INI is told at start (the file and the line) and not written.
#include "../testutil.h"
#include "savedsite.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void edit_data()
    {
        QTest::addColumn<QString>("fixture"); // NAME.conf (none: no file), edited into NAME.expected
        QTest::addColumn<QString>("place");   // of the file: itself, a "link" to it, a "folder" in its place or its folder's
        QTest::addColumn<QString>("site");    // chosen; empty: the built-in one
        QTest::addColumn<QString>("refused"); // why, said at start too where there is a file
        const auto row = [](const char *name, const char *fixture, const char *place = "", const char *site = "127.0.0.1:8080",
                            const char *refused = "") {
            QTest::newRow(name) << QString::fromLatin1(fixture) << QString::fromLatin1(place) << QString::fromLatin1(site)
                                << QString::fromLatin1(refused);
        };
        row("comments, another program's section, a path, a list", "others");
        row("CR LF, [general], no last line end", "crlf");
        row("keys before any section, spaces around =, a mark", "leading");
        row("no [General]", "nogeneral");
        row("no site yet, no last line end", "noeol");
        row("the built-in site again", "remove", "", "");
        row("no file", "none");
        row("through a link", "others", "link");
        row("a link to nothing yet", "none", "link");
        row("a line without =", "bad", "", "127.0.0.1:8080", "line 2 ");
        row("a folder in its place", "none", "folder", "127.0.0.1:8080", "not a regular file");
        row("a file in its folder's place", "none", "folder's", "127.0.0.1:8080", "folder cannot be made");
    }
    void edit()
    {
        QFETCH(QString, fixture);
        QFETCH(QString, place);
        QFETCH(QString, site);
        QFETCH(QString, refused);
        QTemporaryDir dir;
        const QString fixtures = testutil::fixture("settings/"), folder = dir.filePath(u"new"_s);
        const QString path = folder + u"/fortune-collector.conf"_s, file = place == "link"_L1 ? dir.filePath(u"settings.conf"_s) : path;
        const QByteArray before = testutil::readFile(fixtures + fixture + u".conf"_s);
        QVERIFY(place == "folder's"_L1 ? testutil::writeFile(folder, before) : QDir().mkpath(place == "folder"_L1 ? path : folder));
        QVERIFY(fixture == "none"_L1 || testutil::writeFile(file, before));
        QVERIFY(place != "link"_L1 || QFile::link(file, path));
        const QString problem = fortune::readSavedSite(path).problem;
        QVERIFY2(problem.isEmpty() ? refused.isEmpty() || place == "folder's"_L1 : problem.contains(refused), qPrintable(problem));
        const fortune::Status saved = fortune::saveSite(path, site);
        QVERIFY2(saved.ok() == refused.isEmpty() && saved.error.contains(refused) && (saved.ok() || saved.error.contains(path)),
                 qPrintable(saved.error));
        QCOMPARE(testutil::readFile(place == "folder's"_L1 ? folder : file), saved.ok() ? testutil::readFile(fixtures + fixture + u".expected"_s) : before);
        QVERIFY(place != "link"_L1 || QFileInfo(path).isSymLink());
        QCOMPARE(fortune::readSavedSite(path).text, saved.ok() ? site : QString()); // as Qt reads it
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
