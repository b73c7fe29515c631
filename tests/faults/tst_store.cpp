// Stores that cannot be written, driven through the window downloading from a
// scripted site, and a fortunes file left without its closing separator. Every
// fault gives one clear message, the program goes on, and the file, the list and
// the count stay as they were.
#include "../testutil.h"
#include "fakesite.h"
#include "form1.h"
#include "sitepage.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

using namespace fortune;
using namespace testutil;
using namespace std::chrono_literals;
using Records = QList<QByteArray>;

namespace {

const QByteArray kNewRecord = "A new fortune\r\nfrom the site\r\n";

void serveTheFortune(FakeSite &site)
{
    site.setReplies({Reply{{site::okResponse(site::fortunePage(kNewRecord), true)}, 0, Reply::End::KeepOpen}});
}

// A window on the given files with recorded boxes, loaded, pointed at the site.
struct Window {
    std::unique_ptr<Form1> form;
    RecordingDialogs *dialogs = new RecordingDialogs;
    Window(const QString &collection, const QString &reload, quint16 port)
        : form(std::make_unique<Form1>(collection, reload))
    {
        form->setDialogs(std::unique_ptr<Dialogs>(dialogs));
        form->setSite(SiteSettings{QStringLiteral("127.0.0.1"), port});
        form->download().setTimeouts(DownloadTimeouts{5000ms, 5000ms, 10000ms});
        QSignalSpy loaded(form.get(), &Form1::loadFinished);
        form->Form_Load();
        if (!loaded.wait(20000))
            qFatal("the window never finished loading");
    }
    QPushButton *button(const char *name) const { return form->findChild<QPushButton *>(QLatin1String(name)); }
    QString text(const char *name) const { return form->findChild<QLabel *>(QLatin1String(name))->text(); }
    qsizetype count() const { return text("Label1").toLongLong(); }
    // Clicks "Download Fortunes" and waits until the loop ends by itself or
    // has completed `cycles` cycles (0: until it ends), then stops it.
    void download(int cycles = 0)
    {
        QSignalSpy finished(&form->download(), &DownloadLoop::finished);
        QSignalSpy completed(&form->download(), &DownloadLoop::cycleCompleted);
        QTest::mouseClick(button("Command3"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty() || (cycles > 0 && completed.count() >= cycles), 20000);
        QTest::mouseClick(button("Command6"), Qt::LeftButton);
        QVERIFY(!form->download().isRunning());
    }
};

} // namespace

class TestStoreFaults : public QObject {
    Q_OBJECT

private slots:
    void downloadIntoUnwritableCollection_data()
    {
        QTest::addColumn<QString>("collection"); // relative to a fresh folder
        QTest::addColumn<bool>("folder");        // the collection path is a folder
        QTest::addColumn<int>("startMessages");  // a folder cannot even be read at start
        QTest::newRow("fortunes.txt is a folder") << QStringLiteral("fortunes.txt") << true << 1;
        QTest::newRow("missing parent folder") << QStringLiteral("gone/fortunes.txt") << false << 0;
        QTest::newRow("missing grandparent folder") << QStringLiteral("gone/deeper/fortunes.txt") << false << 0;
    }

    void downloadIntoUnwritableCollection()
    {
        QFETCH(QString, collection);
        QFETCH(bool, folder);
        QFETCH(int, startMessages);
        QTemporaryDir dir;
        const QString path = dir.filePath(collection);
        if (folder) {
            QVERIFY(QDir().mkpath(path));
            QVERIFY(writeFile(path + QStringLiteral("/inside.txt"), "kept"));
        }
        FakeSite site;
        serveTheFortune(site);
        Window w(path, dir.filePath(QStringLiteral("none.txt")), site.port());
        QCOMPARE(w.dialogs->messages.size(), startMessages);

        w.download();
        QCOMPARE(w.dialogs->messages.size(), startMessages + 1);
        const QString said = w.dialogs->messages.last();
        QVERIFY2(said.startsWith(QStringLiteral("Could not store the fortune from 127.0.0.1:")), qPrintable(said));
        QVERIFY2(said.contains(QDir::toNativeSeparators(path)), qPrintable(said));
        QCOMPARE(w.count(), 0);
        QCOMPARE(w.text("Label1"), QStringLiteral("0"));
        // Nothing made in the file's place, no folder created.
        QCOMPARE(QFileInfo(path).isDir(), folder);
        if (folder)
            QCOMPARE(QDir(path).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"inside.txt"});
        else
            QVERIFY(!QFileInfo::exists(QFileInfo(path).path()));

        // The program goes on: browsing, and another try that fails the same way.
        QVERIFY(w.form->isVisible());
        QTest::mouseClick(w.button("cmdNext"), Qt::LeftButton);
        QCOMPARE(w.text("lblFNum"), QStringLiteral("0"));
        w.download();
        QCOMPARE(w.dialogs->messages.size(), startMessages + 2);
        QCOMPARE(w.count(), 0);
    }

    // A file-size limit makes the write come back short, as a full disk does.
    // The window runs in a child with RLIMIT_FSIZE and SIGXFSZ ignored.
    void downloadUnderFileSizeLimit_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<int>("count");
        QTest::newRow("well-formed file") << "One\r\n" + kSep + "\r\nTwo\r\n" + kSep + "\r\n" << 2;
        // The stray lines would be closed first: that write is cut back too.
        QTest::newRow("file ending in stray lines") << "One\r\n" + kSep + "\r\nstray line" << 1;
    }

    void downloadUnderFileSizeLimit()
    {
        QFETCH(QByteArray, before);
        QFETCH(int, count);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("fortunes.txt"));
        QVERIFY(writeFile(path, before));
        FakeSite site;
        serveTheFortune(site);

        QProcess helper;
        const rlim_t limit = rlim_t(before.size() + 10); // room for ten more bytes only
        helper.setChildProcessModifier([limit] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit r{limit, limit};
            setrlimit(RLIMIT_FSIZE, &r);
        });
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        helper.start(QStringLiteral(STORE_HELPER), {path, QString::number(site.port())});
        QVERIFY(helper.waitForStarted());
        QSignalSpy done(&helper, &QProcess::finished);
        QVERIFY(done.wait(40000));
        QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper.exitCode(), 0);

        const QStringList lines = QString::fromLocal8Bit(helper.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        const QStringList messages = lines.filter(QRegularExpression(QStringLiteral("^message ")));
        QCOMPARE(messages.size(), 1);
        QVERIFY2(messages[0].contains(QStringLiteral("Could not write to the fortunes file")), qPrintable(messages[0]));
        QVERIFY2(messages[0].contains(QStringLiteral("cut back to its former length")), qPrintable(messages[0]));
        QVERIFY2(messages[0].contains(path), qPrintable(messages[0]));
        QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^count "))),
                 QStringList{QStringLiteral("count %1 %1").arg(count)});
        QVERIFY(lines.contains(QStringLiteral("browsed %1 visible").arg(count == 2 ? 2 : 0)));
        QCOMPARE(readFile(path), before);
    }

    // The hidden extraction test rewrites the reload file first; when it cannot,
    // it says so once and leaves everything as it was.
    void rewriteUnwritableReloadFile_data()
    {
        QTest::addColumn<QString>("reload");
        QTest::addColumn<bool>("folder");
        QTest::newRow("reload path is a folder") << QStringLiteral("reload-folder") << true;
        QTest::newRow("missing parent folder") << QStringLiteral("gone/reload.txt") << false;
    }

    void rewriteUnwritableReloadFile()
    {
        QFETCH(QString, reload);
        QFETCH(bool, folder);
        QTemporaryDir dir;
        const QString path = dir.filePath(reload);
        if (folder)
            QVERIFY(QDir().mkpath(path));
        const QString collection = dir.filePath(QStringLiteral("fortunes.txt"));
        const QByteArray before = "Kept\r\n" + kSep + "\r\n";
        QVERIFY(writeFile(collection, before));
        FakeSite site;
        Window w(collection, path, site.port());

        QTest::mouseClick(w.button("Command5"), Qt::LeftButton);
        QCOMPARE(w.dialogs->messages.size(), 1);
        QVERIFY2(w.dialogs->messages[0].startsWith(QStringLiteral("Could not write ") + path),
                 qPrintable(w.dialogs->messages[0]));
        QCOMPARE(QFileInfo(path).isDir(), folder);
        if (folder)
            QVERIFY(QDir(path).isEmpty());
        else
            QVERIFY(!QFileInfo::exists(QFileInfo(path).path()));
        QCOMPARE(w.text("Label1"), QStringLiteral("1"));
        QCOMPARE(readFile(collection), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"fortunes.txt"}); // no temporary left
        QTest::mouseClick(w.button("cmdNext"), Qt::LeftButton);
        QTest::mouseClick(w.button("cmdNext"), Qt::LeftButton);
        QCOMPARE(w.text("lblFortune"), QStringLiteral("Kept"));
    }

    // A fortunes file that does not end with a separator line (a hand edit,
    // another program's crash): the stray lines are closed as a record of their
    // own before the downloaded fortune, which stays intact.
    void strayLinesBeforeDownload_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<Records>("after"); // the file read back after one download
        const QByteArray one = "One\r\n" + kSep + "\r\n";
        QTest::newRow("stray lines, final CR LF") << one + "stray 1\r\nstray 2\r\n"
                                                  << Records{"One\r\n", "stray 1\r\nstray 2\r\n", kNewRecord};
        QTest::newRow("stray line, no final newline") << one + "stray" << Records{"One\r\n", "stray\r\n", kNewRecord};
        QTest::newRow("stray line ending in CR") << one + "stray\r" << Records{"One\r\n", "stray\r\n", kNewRecord};
        QTest::newRow("stray LF-only lines") << one + "s1\ns2\n" << Records{"One\r\n", "s1\r\ns2\r\n", kNewRecord};
        QTest::newRow("only stray lines") << QByteArray("no separator yet") << Records{"no separator yet\r\n", kNewRecord};
        QTest::newRow("separator without final newline") << "One\r\n" + kSep << Records{"One\r\n", kNewRecord};
        QTest::newRow("an empty line after the separator") << one + "\r\n" << Records{"One\r\n", "\r\n", kNewRecord};
    }

    void strayLinesBeforeDownload()
    {
        QFETCH(QByteArray, before);
        QFETCH(Records, after);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("fortunes.txt"));
        QVERIFY(writeFile(path, before));
        const qsizetype loaded = recordsOf(path).size();
        FakeSite site;
        serveTheFortune(site);
        {
            Window w(path, dir.filePath(QStringLiteral("none.txt")), site.port());
            QCOMPARE(w.count(), loaded);
            w.download(1);
            QCOMPARE(w.dialogs->messages, QStringList());
            // Stray lines were never a record of this run's list; the new fortune is.
            QCOMPARE(w.count(), loaded + 1);
            QCOMPARE(w.text("Label1"), QString::number(loaded + 1));
            QTest::mouseClick(w.button("cmdPrev"), Qt::LeftButton); // the empty slot after the last
            QTest::mouseClick(w.button("cmdPrev"), Qt::LeftButton);
            QCOMPARE(w.text("lblFortune"), QStringLiteral("A new fortune\nfrom the site"));
        }
        QCOMPARE(recordsOf(path), after);
        QVERIFY(readFile(path).startsWith(before)); // the old bytes are untouched
        // The next start loads all of it, the fortune is known and not stored again.
        Window again(path, dir.filePath(QStringLiteral("none.txt")), site.port());
        QCOMPARE(again.count(), after.size());
        const QByteArray file = readFile(path);
        again.download(2);
        QCOMPARE(again.dialogs->messages, QStringList());
        QCOMPARE(readFile(path), file);
    }
};

QTEST_MAIN(TestStoreFaults)
#include "tst_store.moc"
