// The fortunes file: the reader, the record writer and the collection file.
// The reading rules case by case are the fuzz corpus's part (tests/fuzz).
#include "collectionfile.h"
#include "fortunesreader.h"
#include "../testutil.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace fortune;
using namespace testutil;
using Records = QList<QByteArray>;
Q_DECLARE_METATYPE(fortune::FileProblem)

namespace {

// Every write() that reaches the file at g_watched, whichever file layer the
// build uses, so a record split over two writes fails every run. With
// g_killMidWrite (in a child) a write that reaches into the file's next page
// stops at the page's end and the child is killed there, as the system cuts
// the write of a killed program short.
QByteArray g_watched;
QList<QByteArray> g_writes;
bool g_killMidWrite = false;

template <typename F>
QList<QByteArray> writesOf(const QString &path, F &&f)
{
    g_writes.clear();
    g_watched = QFile::encodeName(path);
    f();
    g_watched.clear();
    return g_writes;
}

// Runs f in a child process while the parent runs alongside; true when both
// returned true (the child within a minute).
template <typename F>
bool inChild(F &&f, const std::function<bool()> &alongside = {})
{
    const pid_t child = fork();
    if (child == 0)
        _exit(f() ? 0 : 1);
    const bool mine = !alongside || alongside();
    int status = 0;
    return QTest::qWaitFor([&] { return waitpid(child, &status, WNOHANG) == child; }, 60000) && mine
           && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

extern "C" ssize_t write(int fd, const void *data, size_t size)
{
    using Write = ssize_t (*)(int, const void *, size_t);
    static const auto real = reinterpret_cast<Write>(dlsym(RTLD_NEXT, "write"));
    struct stat written, watched;
    if (!g_watched.isEmpty() && fstat(fd, &written) == 0 && stat(g_watched.constData(), &watched) == 0
        && written.st_ino == watched.st_ino && written.st_dev == watched.st_dev) {
        g_writes << QByteArray(static_cast<const char *>(data), qsizetype(size));
        const size_t toPageEnd = size_t(sysconf(_SC_PAGESIZE) - written.st_size % sysconf(_SC_PAGESIZE));
        if (g_killMidWrite && toPageEnd < size) {
            real(fd, data, toPageEnd);
            raise(SIGKILL);
        }
    }
    return real(fd, data, size);
}

class TestFortunesFile : public QObject {
    Q_OBJECT

private slots:
    // Records that straddle chunk boundaries, lone LFs and stray CRs, one
    // line far longer than a chunk, one record longer than the collection file
    // reads into memory at a time, checked against the plain rules.
    void chunkedReadMatchesPlainRules()
    {
        QByteArray file;
        quint32 seed = 12345;
        const auto next = [&] { seed = seed * 1103515245u + 12345u; return seed >> 8; };
        for (int r = 0; r < 20000; ++r) {
            file += QByteArray::number(r) + "\r\n"; // each record its own
            for (int l = int(next() % 4); l > 0; --l) {
                file += QByteArray(int(next() % 90), char('a' + next() % 26));
                const quint32 end = next() % 10;
                file += end == 0 ? "\n" : end == 1 ? "\r\r\n" : end == 2 ? "x\ry\r\n" : "\r\n";
            }
            if (r == 7000)
                file += QByteArray(99, 'l').append("\r\n").repeated(90000);
            if (r == 15000)
                file += QByteArray(1300 * 1024, 'L') + "\r\n";
            file += kSep + (next() % 5 == 0 ? "\n" : "\r\n");
        }
        QTemporaryDir dir;
        const QString path = dir.filePath("big.txt");
        QVERIFY(writeFile(path, file + "tail"));
        FortuneList list;
        list.store("kept"); // a load adds after what the list holds
        qsizetype progressCalls = 0, lastReported = -1;
        const LoadResult result = loadFortunesFile(path, list, [&](qsizetype count) {
            ++progressCalls;
            lastReported = count;
        });
        const Records expected = plainRecords(file);
        QCOMPARE(result.stored, expected.size());
        QVERIFY(recordsOf(list) == Records{"kept"} + expected);
        QCOMPARE(lastReported, list.count());
        QVERIFY(progressCalls < 100); // paced by a clock, never once per record
        for (const qint64 piece : {1, 100'000}) { // in pieces, each record once
            Records pieces;
            const LoadResult read = readFortunesInPieces(path, piece, [&](const FortuneList &part) {
                pieces += recordsOf(part);
                return true;
            });
            QVERIFY(read.outcome == LoadResult::Outcome::Loaded && read.stored == expected.size() && pieces == expected);
        }

        // The collection file holds them too, the last ones as soon as the first.
        CollectionFile collection(path);
        for (qsizetype i = expected.size() - 1; i >= 0; i -= 97) {
            const CollectionFile::Stored again = collection.storeUnlessHeld(expected[i].chopped(2), list);
            QVERIFY2(again.status.ok() && !again.stored, qPrintable(again.status.error));
        }
        QVERIFY(collection.storeUnlessHeld("new", list).stored);
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<FileProblem>("reading"); // None: it reads
        QTest::addColumn<FileProblem>("writing");
        QTest::newRow("missing") << "missing" << FileProblem::Missing << FileProblem::None;
        QTest::newRow("missing folder") << "gone/fortunes.txt" << FileProblem::Missing << FileProblem::Missing;
        QTest::newRow("folder") << "folder" << FileProblem::Folder << FileProblem::Folder;
        QTest::newRow("pipe") << "pipe" << FileProblem::NotRegular << FileProblem::NotRegular; // would block
        QTest::newRow("device") << "/dev/null" << FileProblem::NotRegular << FileProblem::NotRegular;
        QTest::newRow("UTF-16") << "UTF-16" << FileProblem::None << FileProblem::Utf16;
        // A pipe in the place of the note an unfinished write leaves (looked for
        // when the file holds what this program has not seen end): never opened, never removed.
        QTest::newRow("pipe as the write's note") << "pipe note" << FileProblem::None << FileProblem::None;
    }

    // Each failure reads the same wherever it is met, and changes nothing.
    void refusals()
    {
        QFETCH(QString, what);
        QFETCH(FileProblem, reading);
        QFETCH(FileProblem, writing);
        QTemporaryDir dir;
        const QString path = what.contains(u'/') ? (what.startsWith(u'/') ? what : dir.filePath(what))
                                                 : dir.filePath("fortunes.txt");
        QVERIFY(what != "folder" || QDir().mkdir(path));
        QVERIFY(what != "pipe" || ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        QVERIFY(what != "pipe note"
                || (::mkfifo(QFile::encodeName(path + ".writing").constData(), 0600) == 0 && writeFile(path, "stray\r\n")));
        QVERIFY(what != "UTF-16" || QFile::copy(fixture("utf16le.txt"), path));
        const QByteArray before = what == "UTF-16" ? readFile(path) : QByteArray(); // a pipe would block
        const auto message = [&](FileAccess access, FileProblem problem) {
            return problem == FileProblem::None ? QString() : fileMessage(access, problem, path);
        };
        QVERIFY(inChild([&] {
            alarm(10); // an open that blocks fails the row instead of holding up the run
            FortuneList list;
            const QString loaded = loadFortunesFile(path, list).error;
            QString stored;
            if (what == "pipe note") { // the note is looked for under the lock
                RecordAppender locked(path);
                Status status = locked.lock();
                stored = (status.ok() ? locked.append("new") : status).error;
            } else {
                stored = appendRecord(path, "new").error;
            }
            const bool ok = loaded == message(FileAccess::Read, reading) && stored == message(FileAccess::Write, writing)
                            && list.count() == (what == "UTF-16" ? 2 : 0);
            if (!ok)
                qWarning("read: %s\nwrite: %s", qPrintable(loaded), qPrintable(stored));
            return ok;
        }));
        QVERIFY(what != "UTF-16" || readFile(path) == before);
        QCOMPARE(QFileInfo(path).isDir(), what == "folder");
        QVERIFY(!QFileInfo::exists(dir.filePath("gone")));
        QCOMPARE(QFileInfo(path + ".writing").exists(), what == "pipe note");
    }

    void write_data()
    {
        QTest::addColumn<QByteArray>("before"); // null: no file yet
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<Records>("after"); // the file read back; empty: refused
        const QByteArray a = "A\r\n" + kSep + "\r\n";
        QTest::newRow("two lines") << a << QByteArray("X\r\nY") << Records{"A\r\n", "X\r\nY\r\n"};
        QTest::newRow("empty, new file") << QByteArray() << QByteArray() << Records{"\r\n"};
        QTest::newRow("LF only, trailing CR") << a << QByteArray("a\nb\r") << Records{"A\r\n", "a\r\nb\r\r\n"};
        QTest::newRow("text starting like a mark") << QByteArray() << QByteArray("\xFF\xFEN") << Records{"\xFF\xFEN\r\n"};
        // Lines after the last separator are closed as a record of their own first.
        const Records stray{"A\r\n", "stray\r\n", "N\r\n"};
        QTest::newRow("stray line") << a + "stray\r\n" << QByteArray("N") << stray;
        QTest::newRow("stray without line end") << a + "stray" << QByteArray("N") << stray;
        QTest::newRow("separator without line end") << "A\r\n" + kSep << QByteArray("N") << Records{"A\r\n", "N\r\n"};
        QTest::newRow("UTF-8 mark only") << QByteArray("\xEF\xBB\xBF") << QByteArray("N") << Records{"N\r\n"};
        // A line that is exactly the separator would split the fortune in two.
        QTest::newRow("separator line inside") << a << "B\r\n" + kSep + "\r\nC" << Records{};
        QTest::newRow("separator as the text") << a << kSep << Records{};
        QTest::newRow("separator line, LF ends") << a << "B\n" + kSep + "\nC" << Records{};
    }

    void write()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, text);
        QFETCH(Records, after);
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        QVERIFY(before.isNull() || writeFile(path, before));
        Status status;
        const QList<QByteArray> writes = writesOf(path, [&] { status = appendRecord(path, text); });
        const QByteArray file = readFile(path);
        if (after.isEmpty()) {
            QVERIFY2(status.error.contains("separator"), qPrintable(status.error));
            QCOMPARE(file, before);
            return;
        }
        QVERIFY2(status.ok(), qPrintable(status.error));
        QCOMPARE(writes.size(), 1); // a kill leaves all of it or nothing
        QCOMPARE(before + writes[0], file);
        QVERIFY(file.endsWith(text + "\r\n" + kSep + "\r\n")); // the record as it is
        QCOMPARE(recordsOf(path), after);
        QCOMPARE(after.last(), recordForm(text)); // what the duplicate test compares
    }

    // A file-size limit makes the write come back short, as a full disk does.
    void shortWriteCutBack()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        const QByteArray before = "A\r\n" + kSep + "\r\nstray";
        QVERIFY(writeFile(path, before));
        QVERIFY(inChild([&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{rlim_t(before.size() + 10), rlim_t(before.size() + 10)};
            setrlimit(RLIMIT_FSIZE, &limit);
            FortuneList list;
            const Status status = CollectionFile(path).storeUnlessHeld("longer than ten bytes", list).status;
            return status.error.contains(path) && status.error.contains("cut back") && list.count() == 0;
        }));
        QCOMPARE(readFile(path), before);
    }

    // The file decides what is new: what it held at start, what this program
    // stored, what another writer or a hand edit added; not what Reload added.
    // The file is followed at its path: replaced by an editor, removed.
    void storesWhatTheFileLacks()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        QVERIFY(writeFile(path, fortunesFile({"A", "B"})));
        QVERIFY(writeFile(dir.filePath("reload.txt"), fortunesFile({"X"})));
        FortuneList list;
        loadFortunesFile(path, list);
        loadFortunesFile(dir.filePath("reload.txt"), list);
        CollectionFile collection(path);
        const auto store = [&](const QList<QByteArray> &texts) {
            QByteArray outcomes;
            for (const QByteArray &text : texts) {
                const CollectionFile::Stored s = collection.storeUnlessHeld(text, list);
                outcomes += !s.status.ok() ? 'F' : s.stored ? 'S' : 'h';
            }
            return outcomes;
        };
        QCOMPARE(store({"X", "Y", "X", "A"}), "SShh");
        QCOMPARE(recordsOf(list), (Records{"A\r\n", "B\r\n", "X\r\n", "X\r\n", "Y\r\n"}));
        QVERIFY(appendRecord(path, "Z").ok()); // another writer
        QFile hand(path);
        QVERIFY(hand.open(QIODevice::Append) && hand.write("S") == 1);
        hand.close();
        QCOMPARE(store({"S", "Z", "W"}), "hhS"); // the hand's line is closed as a record before a look
        const QByteArray old = readFile(path);
        QCOMPARE(old, fortunesFile({"A", "B", "X", "Y", "Z", "S", "W"}));
        QVERIFY(writeFile(dir.filePath("new.txt"), fortunesFile({"Q"})));
        QVERIFY(QFile::rename(path, path + "~") && QFile::rename(dir.filePath("new.txt"), path));
        QCOMPARE(store({"Q", "A"}), "hS");
        QCOMPARE(readFile(path), fortunesFile({"Q", "A"}));
        QVERIFY(QFile::remove(path));
        QCOMPARE(store({"A"}), "S");
        QCOMPARE(readFile(path), fortunesFile({"A"}));
        QCOMPARE(readFile(path + "~"), old);
    }

    // Two programs store the same fortunes into one file at the same time.
    void twoWritersStoreEachFortuneOnce()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        const auto writer = [&] {
            FortuneList list;
            CollectionFile collection(path);
            bool ok = true;
            for (int i = 0; i < 500; ++i)
                ok = ok && collection.storeUnlessHeld("Fortune " + QByteArray::number(i), list).status.ok();
            return ok;
        };
        QVERIFY(inChild(writer, writer));
        const Records records = recordsOf(path);
        QCOMPARE(QSet<QByteArray>(records.begin(), records.end()).size(), 500);
        QCOMPARE(records.size(), 500);
    }

    // A store never writes past another program's lock; one told not to wait
    // comes back to try again, having changed nothing.
    void storeHonoursAnotherWritersLock()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        QVERIFY(appendRecord(path, "A").ok());
        RecordAppender holder(path);
        QVERIFY(holder.lock().ok());
        FortuneList list;
        CollectionFile collection(path);
        const auto store = [&] {
            CollectionFile::Stored stored;
            do
                stored = collection.storeUnlessHeld("B", list, QDeadlineTimer(kSlice));
            while (stored.again == CollectionFile::Stored::Again::Soon);
            return stored;
        };
        QCOMPARE(store().again, CollectionFile::Stored::Again::Locked);
        QCOMPARE(readFile(path), fortunesFile({"A"}));
        QCOMPARE(list.count(), 0);
        holder.unlock();
        QVERIFY(store().stored);
        QCOMPARE(readFile(path), fortunesFile({"A", "B"}));
    }

    // While a load of the list is under way, a store waits for it (its
    // records go in first) and changes nothing meanwhile.
    void storeWaitsForALoadOfTheList()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt"), big = dir.filePath("big.txt");
        QByteArray file;
        for (int i = 0; i < 40000; ++i)
            file += "Loaded fortune " + QByteArray::number(i) + "\r\n" + kSep + "\r\n";
        QVERIFY(writeFile(big, file));
        FortuneList list;
        FortunesLoad load(big, list);
        QVERIFY(!load.step(QDeadlineTimer(0)));
        CollectionFile collection(path);
        QCOMPARE(collection.storeUnlessHeld("new", list, QDeadlineTimer(kSlice)).again,
                 CollectionFile::Stored::Again::Soon);
        QVERIFY(load.step(QDeadlineTimer(QDeadlineTimer::Forever)));
        QCOMPARE(readFile(path), QByteArray());
        QVERIFY(collection.storeUnlessHeld("new", list).stored);
        QCOMPARE(list.count(), 40001);
        QCOMPARE(list.rawAt(40000), "new\r\n");
    }

    // An import takes the lock a batch at a time: another writer stores in
    // between, and what it stored is left out of the import, both a record
    // the import had gathered for its next batch and one it reaches later.
    void importLetsOthersStoreBetweenBatches()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        FortuneList incoming, list, othersList;
        const auto fortune = [](qsizetype i) { return "Imported fortune number " + QByteArray::number(i); };
        for (qsizetype i = 0; i < 100000; ++i)
            incoming.store(fortune(i) + "\r\n");
        CollectionFile import(path), other(path);
        QByteArray othersOutcomes;
        const CollectionFile::Imported done = import.storeAllUnlessHeld(incoming, list, [&](qsizetype at, qsizetype) {
            if (at < 60000 || !othersOutcomes.isEmpty())
                return; // a few batches have gone out
            for (const qsizetype i : {at - 1, qsizetype(90000)}) {
                CollectionFile::Stored stored;
                do
                    stored = other.storeUnlessHeld(fortune(i), othersList, QDeadlineTimer(kSlice));
                while (stored.again == CollectionFile::Stored::Again::Soon);
                othersOutcomes += stored.again == CollectionFile::Stored::Again::Locked ? 'L' : stored.stored ? 'S' : 'F';
            }
        });
        QCOMPARE(othersOutcomes, "SS");
        QVERIFY2(done.status.ok(), qPrintable(done.status.error));
        QCOMPARE(QList<qsizetype>({done.added, done.held}), QList<qsizetype>({99998, 2}));
        const Records records = recordsOf(path);
        QCOMPARE(QSet<QByteArray>(records.begin(), records.end()).size(), 100000);
        QCOMPARE(records.size(), 100000);
        QVERIFY(records.indexOf(fortune(90000) + "\r\n") < records.indexOf(fortune(70000) + "\r\n"));
    }

    // A writer killed in the middle of a write (cut short where a page of the
    // file ends) leaves the start of it. The next store cuts that off, and
    // only that: whole records that went out before the cut stay, as do stray
    // lines put there by hand; the start of a fortune never becomes one.
    void writeCutByAKill_data()
    {
        QTest::addColumn<QByteArray>("before"); // the file before the killed write
        QTest::addColumn<Records>("killed");    // what the killed writer stores, an import when more than one
        QTest::addColumn<Records>("kept");      // the records after the next store, its own aside
        const QByteArray a = fortunesFile({"A"}), page(sysconf(_SC_PAGESIZE), 'x');
        const qsizetype room = page.size() - a.size(); // to the end of the file's first page
        Records batch;
        for (int i = 0; i < 40; ++i)
            batch << "Fortune " + QByteArray::number(i) + ' ' + QByteArray(300, 'y');
        QTest::newRow("a download") << a << Records{page} << Records{"A\r\n"};
        QTest::newRow("cut after a line of the fortune") << a << Records{page.left(room - 2) + "\r\nsecond line"}
                                                        << Records{"A\r\n"};
        QTest::newRow("cut in its separator line") << a << Records{page.left(room - 12)} << Records{"A\r\n"};
        QTest::newRow("cut in its last line end") << a << Records{page.left(room - 33)}
                                                  << Records{"A\r\n", page.left(room - 33) + "\r\n"};
        Records whole{"A\r\n"};
        for (qsizetype i = 0, at = a.size(); (at += batch[i].size() + 34) <= page.size(); ++i)
            whole << batch[i] + "\r\n";
        QTest::newRow("an import's batch") << a << batch << whole;
        QTest::newRow("after stray lines") << a + "by hand\r\n" << Records{page} << Records{"A\r\n", "by hand\r\n"};
        // Without a writer killed, lines ending where a page ends are stray lines too.
        QTest::newRow("by hand to a page's end") << a + page.left(room) << Records{}
                                                 << Records{"A\r\n", page.left(room) + "\r\n"};
    }
    void writeCutByAKill()
    {
        QFETCH(QByteArray, before);
        QFETCH(Records, killed);
        QFETCH(Records, kept);
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt");
        QVERIFY(writeFile(path, before));
        if (!killed.isEmpty()) {
            const pid_t child = fork();
            if (child == 0) {
                g_watched = QFile::encodeName(path);
                g_killMidWrite = true;
                FortuneList list, incoming;
                for (const QByteArray &text : killed)
                    incoming.store(text + "\r\n");
                if (killed.size() == 1)
                    CollectionFile(path).storeUnlessHeld(killed[0], list);
                else
                    CollectionFile(path).storeAllUnlessHeld(incoming, list);
                _exit(0);
            }
            int status = 0;
            QCOMPARE(waitpid(child, &status, 0), child);
            QVERIFY(WIFSIGNALED(status));
            QCOMPARE(readFile(path).size() % sysconf(_SC_PAGESIZE), 0); // cut short
        }
        FortuneList list;
        QCOMPARE(recordsOf(path), kept.first(kept.size() - (killed.isEmpty() ? 1 : 0))); // a start reads no fortune of the cut
        QVERIFY(CollectionFile(path).storeUnlessHeld("next", list).stored);
        QCOMPARE(recordsOf(path), kept + Records{"next\r\n"});
    }

    void fullListStopsLoadingAndStoring()
    {
        FortuneList list;
        for (qsizetype i = 0; i < kSlotCount - 1; ++i)
            list.store("x");
        const LoadResult result = loadFortunesFile(fixture("two-separators.txt"), list);
        QCOMPARE(result.outcome, LoadResult::Outcome::Full);
        QCOMPARE(list.rawAt(kSlotCount - 1), QByteArrayView("A\r\n"));
        QTemporaryDir dir;
        QVERIFY(!CollectionFile(dir.filePath("f.txt")).storeUnlessHeld("one too many", list).status.ok());
        QVERIFY(!QFile::exists(dir.filePath("f.txt"))); // nothing written
        QCOMPARE(list.count(), kSlotCount);
    }
};

QTEST_GUILESS_MAIN(TestFortunesFile)
#include "tst_fortunesfile.moc"
