// Two download loops, as two windows would run them, store into one collection
// from a scripted site: each stores what the file lacks, whatever the other
// stored meanwhile or "Reload" put into its list. And the hidden extraction
// test when the reload file cannot be rewritten.
#include "../testutil.h"
#include "fakesite.h"
#include "form1.h"
#include "sitepage.h"

#include <QDir>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace fortune;
using namespace testutil;
using namespace std::chrono_literals;

class TestStoreFaults : public QObject {
    Q_OBJECT

private:
    FakeSite m_site;

    // Serves the fortunes in turn until the loop has completed as many cycles.
    void download(DownloadLoop &loop, const QList<QByteArray> &fortunes)
    {
        QList<Reply> replies;
        for (const QByteArray &fortune : fortunes)
            replies << Reply{{site::okResponse(site::fortunePage(fortune + "\r\n"), true)}, 0, Reply::End::KeepOpen};
        m_site.setReplies(replies);
        loop.setSite(SiteSettings{QStringLiteral("127.0.0.1"), m_site.port()});
        loop.setTimeouts(DownloadTimeouts{5000ms, 5000ms, 10000ms});
        QSignalSpy finished(&loop, &DownloadLoop::finished);
        QSignalSpy completed(&loop, &DownloadLoop::cycleCompleted);
        loop.start();
        QVERIFY(QTest::qWaitFor([&] { return !finished.isEmpty() || completed.count() >= fortunes.size(); }, 20000));
        loop.stop();
        QCOMPARE(finished.value(0).value(0).toString(), QString()); // stopped, not failed
    }

private slots:
    void twoWindowsStoreWhatTheFileLacks()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        QVERIFY(writeFile(path, fortunesFile({"A", "B"})));
        FortuneList first, second;
        loadFortunesFile(path, first);
        loadFortunesFile(path, second);
        QVERIFY(writeFile(dir.filePath("reload.txt"), fortunesFile({"X"})));
        loadFortunesFile(dir.filePath("reload.txt"), first);
        DownloadLoop one(first, path), other(second, path);
        download(one, {"X", "Y"});
        download(other, {"X", "Y", "Z"});
        download(one, {"Z"});
        QCOMPARE(readFile(path), fortunesFile({"A", "B", "X", "Y", "Z"}));
        QCOMPARE(first.count(), 5); // A B X, and X Y downloaded
        QCOMPARE(second.count(), 3);
    }

    // It rewrites the reload file first; when it cannot (a folder in its
    // place), it says so once and changes nothing.
    void extractionTestCannotRewriteReloadFile()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("reload"));
        Form1 form(dir.filePath("fortunes.txt"), dir.filePath("reload"));
        auto *dialogs = new RecordingDialogs;
        form.setDialogs(std::unique_ptr<Dialogs>(dialogs));
        form.findChild<QPushButton *>("Command5")->click();
        QCOMPARE(dialogs->messages.size(), 1);
        QVERIFY2(dialogs->messages[0].contains(dir.filePath("reload")), qPrintable(dialogs->messages[0]));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"reload"});
        QVERIFY(QDir(dir.filePath("reload")).isEmpty());
    }
};

QTEST_MAIN(TestStoreFaults)
#include "tst_store.moc"
