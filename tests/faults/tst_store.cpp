// Two download loops, as two windows would run them, store into one collection
// from a scripted site: each stores what the file lacks, whatever the other
// stored meanwhile or "Reload" put into its list. A loop whose store finds
// another program holding the lock. And the hidden extraction test when the
// reload file cannot be rewritten.
#include "../testutil.h"
#include "fakesite.h"
#include "form1.h"
#include "sitepage.h"

#include <QDir>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <condition_variable>
#include <mutex>
#include <thread>

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

    // Another program keeps the collection locked while a loop has a fortune
    // to store: the loop tries again from the event loop, which goes on
    // meanwhile, and stores once the lock is let go; held past the loop's
    // bound, the loop ends saying why, and nothing is stored.
    void storeWaitsForAnotherWritersLock_data()
    {
        QTest::addColumn<bool>("letGo");
        QTest::newRow("let go after a while") << true;
        QTest::newRow("held past the bound") << false;
    }
    void storeWaitsForAnotherWritersLock()
    {
        QFETCH(bool, letGo);
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        QVERIFY(writeFile(path, fortunesFile({"A"})));
        FortuneList list;
        loadFortunesFile(path, list);
        DownloadLoop loop(list, path);
        m_site.setReplies({Reply{{site::okResponse(site::fortunePage("B\r\n"), true)}, 0, Reply::End::KeepOpen}});
        loop.setSite(SiteSettings{QStringLiteral("127.0.0.1"), m_site.port()});
        loop.setTimeouts(DownloadTimeouts{5000ms, 5000ms, 10000ms, 500ms});
        // The other program: a thread holding the lock until told to let go,
        // or for three seconds, should this thread never get to tell it.
        std::mutex mutex;
        std::condition_variable changed;
        bool held = false, go = false;
        std::thread other([&] {
            RecordAppender holder(path);
            const bool locked = holder.lock().ok();
            std::unique_lock<std::mutex> lock(mutex);
            held = locked;
            changed.notify_all();
            changed.wait_for(lock, 3s, [&] { return go; });
            holder.unlock();
        });
        const auto letItGo = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            go = true;
            changed.notify_all();
        };
        const auto joined = qScopeGuard([&] { letItGo(), other.join(); });
        {
            std::unique_lock<std::mutex> lock(mutex);
            QVERIFY(changed.wait_for(lock, 10s, [&] { return held; }));
        }
        int ticks = 0; // the event loop going on meanwhile
        QTimer tick;
        connect(&tick, &QTimer::timeout, [&] { ++ticks; });
        tick.start(5);
        QSignalSpy requested(&m_site, &FakeSite::requestReceived), stored(&loop, &DownloadLoop::fortuneStored),
            finished(&loop, &DownloadLoop::finished);
        loop.start();
        QVERIFY(requested.wait(5000));
        if (letGo) {
            const int from = ticks;
            QVERIFY(QTest::qWaitFor([&] { return ticks >= from + 20 || !stored.isEmpty(); }, 5000));
            letItGo();
            QVERIFY(stored.isEmpty()); // nothing while the other held the lock
            QVERIFY(stored.wait(5000));
            QCOMPARE(readFile(path), fortunesFile({"A", "B"}));
        } else {
            QVERIFY(finished.wait(5000));
            letItGo();
            QVERIFY2(finished[0][0].toString().contains("another program keeps it locked"),
                     qPrintable(finished[0][0].toString()));
            QVERIFY(!loop.siteFailed()); // no other site would mend it
            QCOMPARE(readFile(path) + QByteArray::number(list.count()), fortunesFile({"A"}) + "1");
        }
        loop.stop();
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
