// The user's settings file: a choice edits the site line and keeps every other
// byte, in one step, through links, never over what is not a file; a file with
// a line that is not INI is told at start (the file and the line) and not written.
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
        QTest::addColumn<QString>("fixture"); // NAME.conf, edited into NAME.expected (none: refused); empty: no file
        QTest::addColumn<QString>("site");    // chosen; empty: the built-in one
        QTest::addColumn<int>("badLine");     // told at start, 0: none
        const QString chosen = u"127.0.0.1:8080"_s;
        QTest::newRow("comments, another program's section, a path, a list") << u"others"_s << chosen << 0;
        QTest::newRow("CR LF, [general], no last line end") << u"crlf"_s << chosen << 0;
        QTest::newRow("keys before any section, spaces around =, a mark") << u"leading"_s << chosen << 0;
        QTest::newRow("no [General]") << u"nogeneral"_s << chosen << 0;
        QTest::newRow("no site yet, no last line end") << u"noeol"_s << chosen << 0;
        QTest::newRow("the built-in site again") << u"remove"_s << QString() << 0;
        QTest::newRow("a line without =") << u"bad"_s << chosen << 2;
        QTest::newRow("no file") << QString() << chosen << 0;
    }
    void edit()
    {
        QFETCH(QString, fixture);
        QFETCH(QString, site);
        QFETCH(int, badLine);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"new/fortune-collector.conf"_s);
        const QByteArray before = fixture.isEmpty() ? QByteArray() : testutil::readFile(testutil::fixture(qPrintable(u"settings/%1.conf"_s.arg(fixture))));
        QVERIFY(fixture.isEmpty() || (QDir().mkpath(dir.filePath(u"new"_s)) && testutil::writeFile(path, before)));
        const QString problem = fortune::readSavedSite(path).problem;
        QVERIFY2(badLine ? problem.contains(u"line %1 "_s.arg(badLine)) && problem.contains(path) : problem.isEmpty(), qPrintable(problem));
        const QString expected = testutil::fixture(qPrintable(u"settings/%1.expected"_s.arg(fixture)));
        const fortune::Status saved = fortune::saveSite(path, site);
        QVERIFY2(saved.ok() == (fixture.isEmpty() || QFile::exists(expected)), qPrintable(saved.error));
        if (!saved.ok()) {
            QVERIFY(saved.error.contains(u"line %1 "_s.arg(badLine)) && testutil::readFile(path) == before);
            return;
        }
        QCOMPARE(testutil::readFile(path), fixture.isEmpty() ? "[General]\nsite=" + site.toUtf8() + '\n' : testutil::readFile(expected));
        QCOMPARE(fortune::readSavedSite(path).text, site); // as Qt reads it
    }

    // Through a link the file it points to is written, the link kept; anything
    // but a regular file in its place, or in its folder's, is left as it is,
    // and the choice says why.
    void hostileStates_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<QByteArray>("after"); // the file the link points to; null: refused
        QTest::newRow("link to a file") << u"link"_s << QByteArray("; kept\n\n[General]\nsite=h:1\n");
        QTest::newRow("link to nothing yet") << u"dangling"_s << QByteArray("[General]\nsite=h:1\n");
        QTest::newRow("a folder in its place") << u"folder"_s << QByteArray();
        QTest::newRow("a file in its folder's place") << u"file"_s << QByteArray();
    }
    void hostileStates()
    {
        QFETCH(QString, state);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString path = dir.filePath(state == "file"_L1 ? u"dotfiles/fortune-collector.conf"_s : u"fortune-collector.conf"_s);
        const QString target = dir.filePath(u"dotfiles/settings.conf"_s);
        QVERIFY(state == "file"_L1 ? testutil::writeFile(dir.filePath(u"dotfiles"_s), "; kept\n") : QDir().mkpath(dir.filePath(u"dotfiles"_s)));
        QVERIFY(state != "link"_L1 || testutil::writeFile(target, "; kept\n"));
        QVERIFY((state != "link"_L1 && state != "dangling"_L1) || QFile::link(u"dotfiles/settings.conf"_s, path));
        QVERIFY(state != "folder"_L1 || QDir().mkpath(path));
        const fortune::Status saved = fortune::saveSite(path, u"h:1"_s);
        QVERIFY2(saved.ok() == !after.isNull() && (saved.ok() || saved.error.contains(path)), qPrintable(saved.error));
        QVERIFY(state == "folder"_L1 ? QFileInfo(path).isDir() : state == "file"_L1 || QFileInfo(path).isSymLink());
        QCOMPARE(testutil::readFile(state == "file"_L1 ? dir.filePath(u"dotfiles"_s) : target), after.isNull() && state == "file"_L1 ? "; kept\n" : after);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
