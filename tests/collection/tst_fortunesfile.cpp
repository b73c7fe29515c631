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

int g_killAt = 0; // a RecordAppender::Step

// Stores texts (an import when more than one) in a child process killed at
// step, or (-1) in the write where a page of the file ends. True when the
// kill came.
bool storeKilled(const QString &path, const QList<QByteArray> &texts, int step)
{
    const pid_t child = fork();
    if (child == 0) {
        g_watched = QFile::encodeName(path);
        g_killMidWrite = step < 0;
        g_killAt = step;
        RecordAppender::setStepObserverForTests([](RecordAppender::Step at) {
            if (int(at) == g_killAt)
                raise(SIGKILL);
        });
        FortuneList list, incoming;
        for (const QByteArray &text : texts)
            incoming.store(text + "\r\n");
        if (texts.size() == 1)
            CollectionFile(path).storeUnlessHeld(texts[0], list);
        else
            CollectionFile(path).storeAllUnlessHeld(incoming, list);
        _exit(0);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFSIGNALED(status);
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
        QVERIFY(what != "UTF-16" || QFile::copy(fixture("utf16le.txt"), path));
        const QByteArray before = what == "UTF-16" ? readFile(path) : QByteArray(); // a pipe would block
        const auto message = [&](FileAccess access, FileProblem problem) {
            return problem == FileProblem::None ? QString() : fileMessage(access, problem, path);
        };
        QVERIFY(inChild([&] {
            alarm(10); // an open that blocks fails the row instead of holding up the run
            FortuneList list;
            const QString loaded = loadFortunesFile(path, list).error;
            const QString stored = appendRecord(path, "new").error;
            const bool ok = loaded == message(FileAccess::Read, reading) && stored == message(FileAccess::Write, writing)
                            && list.count() == (what == "UTF-16" ? 2 : 0);
            if (!ok)
                qWarning("read: %s\nwrite: %s", qPrintable(loaded), qPrintable(stored));
            return ok;
        }));
        QVERIFY(what != "UTF-16" || readFile(path) == before);
        QCOMPARE(QFileInfo(path).isDir(), what == "folder");
        QVERIFY(!QFileInfo::exists(dir.filePath("gone")));
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
        QCOMPARE(before + writes.join(), file); // stray lines closed first, in a write of their own
        QVERIFY(writes.last().endsWith(text + "\r\n" + kSep + "\r\n")); // the record as it is, in one write
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

    // A writer killed at each step of a write, or of the recovery of one
    // (-1: in the write, where a page of the file ends, as the system cuts a
    // killed program's write short), leaves the note or a file that needs
    // none; then the next store cuts back what is left after the last whole
    // record of that write, and only that: whole records that went out stay,
    // as do stray lines put there by hand, records another program wrote
    // after a note that never got its write, and the file beside a note that
    // is none. Judged by the plain reading (testutil), not the program's reader.
    void killedAtEachStep_data()
    {
        using Step = RecordAppender::Step;
        QTest::addColumn<QByteArray>("before"); // the file before the killed write
        QTest::addColumn<Records>("killed");    // what the killed writer stores, an import when more than one
        QTest::addColumn<int>("step");          // where it is killed
        QTest::addColumn<QByteArray>("then");   // appended by another program before the next store
        QTest::addColumn<QByteArray>("note");   // then put in the note's place, unless null
        QTest::addColumn<Records>("kept");      // the records after the next store, its own aside
        const QByteArray a = fortunesFile({"A"}), page(sysconf(_SC_PAGESIZE), 'x');
        const qsizetype room = page.size() - a.size(); // to the end of the file's first page
        Records batch, whole{"A\r\n"};
        for (int i = 0; i < 40; ++i)
            batch << "Fortune " + QByteArray::number(i) + ' ' + QByteArray(300, 'y');
        for (qsizetype i = 0, at = a.size(); (at += batch[i].size() + 34) <= page.size(); ++i)
            whole << batch[i] + "\r\n";
        const auto row = [&](const char *name, const Records &killed, int step, const Records &kept,
                             const QByteArray &before = {}, const QByteArray &then = {}, const QByteArray &note = {}) {
            QTest::newRow(name) << (before.isNull() ? a : before) << killed << step << then << note << kept;
        };
        row("a download", {page}, -1, {"A\r\n"});
        row("cut after a line of the fortune", {page.left(room - 2) + "\r\nsecond line"}, -1, {"A\r\n"});
        row("cut in its separator line", {page.left(room - 12)}, -1, {"A\r\n"});
        row("cut in its last line end", {page.left(room - 33)}, -1, {"A\r\n", page.left(room - 33) + "\r\n"});
        row("an import's batch", batch, -1, whole);
        row("after stray lines", {page}, -1, {"A\r\n", "by hand\r\n"}, a + "by hand\r\n");
        row("before the note", {page}, int(Step::Noting), {"A\r\n"});
        row("after the note", {page}, int(Step::Noted), {"A\r\n"});
        row("after the write", {page}, int(Step::Written), {"A\r\n", page + "\r\n"});
        row("before the note goes", batch, int(Step::Unnoting), whole + [&] {
            Records all;
            for (qsizetype i = whole.size() - 1; i < batch.size(); ++i)
                all << batch[i] + "\r\n";
            return all;
        }());
        row("in the recovery, before the cut", {page}, int(Step::Recovering), {"A\r\n"});
        row("in the recovery, between the cut and the note's removal", {page}, int(Step::RecoveryCut), {"A\r\n"});
        // Without a writer killed, lines ending where a page ends are stray lines too.
        row("by hand to a page's end", {}, -1, {"A\r\n", page.left(room) + "\r\n"}, a + page.left(room));
        // A note whose write never came: what came since is not that write.
        row("a stale note, a stray line", {page}, int(Step::Noted), {"A\r\n", "by hand\r\n"}, {}, "by hand\r\n");
        row("a stale note, stray lines to a page's end", {page}, int(Step::Noted),
            {"A\r\n", "by hand\r\n" + page.left(room - 9) + "\r\n"}, {}, "by hand\r\n" + page.left(room - 9));
        const QByteArray one = page.left(1998), two = page.left(room - 64 - 1998);
        row("a stale note, LF-only records to a page's end", {page}, int(Step::Noted),
            {"A\r\n", one + "\r\n", two + "\r\n"}, {}, one + '\n' + kSep + '\n' + two + '\n' + kSep + '\n');
        // Notes that do not describe the file's end: nothing is cut.
        const QByteArray text(2 * page.size() - a.size() - 34, 't'), twoPages = a + text + "\r\n" + kSep + "\r\n";
        for (const auto &[name, note] : {std::pair{"a note of two fields", "8180 100\n"},
                                         {"a note without its digests", "write 8180 100\n"},
                                         {"a note with a wrong digest", "write 8180 100 0\n"},
                                         {"a note of words", "stray words"}})
            row(name, {}, -1, {"A\r\n", text + "\r\n"}, twoPages, {}, note);
    }
    void killedAtEachStep()
    {
        QFETCH(QByteArray, before);
        QFETCH(Records, killed);
        QFETCH(int, step);
        QFETCH(QByteArray, then);
        QFETCH(QByteArray, note);
        QFETCH(Records, kept);
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt"), notePath = path + ".writing";
        QVERIFY(writeFile(path, before));
        // The next writer has seen the file end there before: it looks at the note all the same.
        FortuneList list;
        CollectionFile next(path);
        QVERIFY(!before.endsWith(kSep + "\r\n") || !next.storeUnlessHeld("A", list).stored);
        if (!killed.isEmpty()) {
            const bool recovery = step >= int(RecordAppender::Step::Recovering);
            QVERIFY(storeKilled(path, killed, recovery ? -1 : step));
            QVERIFY(!recovery || storeKilled(path, {"next"}, step));
            QByteArray tail;
            plainRecords(readFile(path), &tail);
            QVERIFY(tail.isEmpty() || QFileInfo::exists(notePath)); // the note, or a file that needs none
        }
        QFile other(path);
        QVERIFY(other.open(QIODevice::Append) && other.write(then) == then.size());
        other.close();
        QVERIFY(note.isNull() || writeFile(notePath, note));
        const CollectionFile::Stored stored = next.storeUnlessHeld("next", list);
        QVERIFY2(stored.stored, qPrintable(stored.status.error));
        QCOMPARE(plainRecords(readFile(path)), kept + Records{"next\r\n"});
        QVERIFY(!QFileInfo::exists(notePath));
    }

    // A write that needs a note is refused, naming it, when something else
    // stands in its place, which stays as it is; a write within a page needs none.
    void hostileNotePath_data()
    {
        QTest::addColumn<QString>("what");
        for (const char *what : {"hard link to the collection", "symbolic link", "folder", "pipe"})
            QTest::newRow(what) << QString::fromLatin1(what);
    }
    void hostileNotePath()
    {
        QFETCH(QString, what);
        QTemporaryDir dir;
        const QString path = dir.filePath("fortunes.txt"), note = path + ".writing", other = dir.filePath("other");
        const QByteArray native = QFile::encodeName(note);
        QVERIFY(writeFile(path, fortunesFile({"A"})) && writeFile(other, "other\n"));
        QVERIFY(what != "folder" || QDir().mkdir(note));
        QVERIFY(what != "pipe" || ::mkfifo(native.constData(), 0600) == 0);
        QVERIFY(what != "symbolic link" || QFile::link(other, note));
        QVERIFY(!what.startsWith("hard") || ::link(QFile::encodeName(path).constData(), native.constData()) == 0);
        QVERIFY(inChild([&] {
            alarm(10); // a note opened and waited on fails the row instead of holding up the run
            const Status within = appendRecord(path, "B"), across = appendRecord(path, QByteArray(5000, 'x'));
            if (!within.ok() || !across.error.contains(shownPath(note)))
                qWarning("%s\n%s", qPrintable(within.error), qPrintable(across.error));
            return within.ok() && across.error.contains(shownPath(note)) && across.error.contains("stands in its place");
        }));
        QCOMPARE(readFile(path), fortunesFile({"A", "B"}));
        struct stat info;
        QVERIFY(::lstat(native.constData(), &info) == 0);
        QVERIFY(what != "folder" || S_ISDIR(info.st_mode));
        QVERIFY(what != "pipe" || S_ISFIFO(info.st_mode));
        QVERIFY(what != "symbolic link" || (S_ISLNK(info.st_mode) && readFile(other) == "other\n"));
        QVERIFY(!what.startsWith("hard") || info.st_nlink == 2);
    }

    // A file replaced in one step (an export): the new content whole, the
    // permissions and a link kept, or the former content with the reason,
    // and nothing left beside it.
    void replacedFile_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("error"); // empty: replaced
        QTest::newRow("regular file") << "file" << "";
        QTest::newRow("new path") << "new" << "";
        QTest::newRow("symbolic link") << "link" << "";
        QTest::newRow("folder") << "folder" << "not a regular file";
        QTest::newRow("pipe") << "pipe" << "not a regular file";
        QTest::newRow("a write that fails") << "limit" << "File too large";
    }
    void replacedFile()
    {
        QFETCH(QString, what);
        QFETCH(QString, error);
        QTemporaryDir dir;
        const QString target = dir.filePath("t"), real = what == "link" ? dir.filePath("real") : target;
        const bool old = what != "new" && what != "folder" && what != "pipe";
        QVERIFY(!old || (writeFile(real, "old") && ::chmod(QFile::encodeName(real).constData(), 0640) == 0));
        QVERIFY(what != "link" || QFile::link(real, target));
        QVERIFY(what != "folder" || QDir().mkdir(target));
        QVERIFY(what != "pipe" || ::mkfifo(QFile::encodeName(target).constData(), 0600) == 0);
        const QStringList names = QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        const QByteArray bytes(3000, 'n');
        QVERIFY(inChild([&] {
            alarm(10);
            if (what == "limit") {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{1000, 1000};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            ReplacedFile file(target);
            const bool replaced = file.open() && file.write(bytes.first(1500)) && file.write(bytes.sliced(1500)) && file.commit();
            if (replaced != error.isEmpty() || !file.errorString().contains(error))
                qWarning("%s", qPrintable(file.errorString()));
            return replaced == error.isEmpty() && file.errorString().contains(error);
        }));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 what == "new" ? QStringList{"t"} : names);
        if (what == "folder" || what == "pipe")
            return;
        QCOMPARE(readFile(real), error.isEmpty() ? bytes : QByteArray("old"));
        QCOMPARE(QFileInfo(target).isSymLink(), what == "link");
        struct stat info;
        QVERIFY(::stat(QFile::encodeName(real).constData(), &info) == 0);
        QVERIFY(!old || (info.st_mode & 0777) == 0640);
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
