#include "importcommand.h"

#include "classicfile.h"
#include "collectionfile.h"
#include "consoleoutput.h"
#include "location.h"

#include <QElapsedTimer>

#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <unistd.h>
#endif

namespace fortune {

namespace {

// 'importing "FILE": 40 %' on stderr, on a terminal and once an import has
// taken more than a moment.
class ImportProgressLine {
public:
    explicit ImportProgressLine(QIODevice &err) : m_err(err), m_terminal(isatty(STDERR_FILENO)) { m_clock.start(); }
    void show(const QString &file, qsizetype at, qsizetype total)
    {
        if (!m_terminal || total == 0 || m_clock.elapsed() < 500)
            return;
        writeAll(m_err, QStringLiteral("\rimporting \"%1\": %2 %")
                            .arg(shownPath(file)).arg(at * 100 / total).toUtf8());
        m_shown = true;
    }
    void clear()
    {
        if (m_shown)
            writeAll(m_err, "\r\x1b[K");
        m_shown = false;
    }

private:
    QIODevice &m_err;
    const bool m_terminal;
    bool m_shown = false;
    QElapsedTimer m_clock;
};

struct ImportCounts {
    qsizetype added = 0;
    qsizetype held = 0;
    qsizetype leftOut = 0;     // by the store
    qsizetype leftOutRead = 0; // by the reader, each told
};

// The fortunes the reader left out of one file, each told up to a point.
void tellLeftOut(QIODevice &err, const QString &file, const std::vector<AnyFileLoad::LeftOut> &leftOut)
{
    constexpr size_t kTold = 10; // a file of another encoding could fill the screen
    for (size_t i = 0; i < leftOut.size(); ++i) {
        if (i == kTold) {
            fail(err, QStringLiteral("\"%1\": %2 more fortunes left out.")
                          .arg(shownPath(file)).arg(leftOut.size() - kTold));
            break;
        }
        fail(err, QStringLiteral("\"%1\": fortune %2 left out: %3.")
                      .arg(shownPath(file)).arg(leftOut[i].number).arg(leftOut[i].why));
    }
}

// Reads one file and stores what the collection does not hold; the error
// that ended it, or nothing.
QString importFile(const QString &file, const QByteArray &encoding, CollectionFile &collection, FortuneList &list,
                   ImportCounts &counts, ImportProgressLine &progressLine, QIODevice &err)
{
    const AnyFileLoad source = loadAnyFortunesFile(file, encoding);
    if (source.result.outcome != LoadResult::Outcome::Loaded)
        return source.result.error;
    if (!source.leftOut.empty())
        progressLine.clear();
    tellLeftOut(err, file, source.leftOut);
    counts.leftOutRead += qsizetype(source.leftOut.size());
    const CollectionFile::Imported done = collection.storeAllUnlessHeld(
        *source.list, list, [&](qsizetype at, qsizetype total) { progressLine.show(file, at, total); });
    counts.added += done.added;
    counts.held += done.held;
    counts.leftOut += done.leftOut;
    return done.status.error;
}

} // namespace

int importFiles(const QStringList &files, const QByteArray &encoding, const QString &path, QIODevice &out,
                QIODevice &err)
{
    // Loaded first, in bulk, although the store reads the file again: its
    // take-in then finds each record in the list in the file's order, which
    // is faster than collecting the file anew (a million fortunes all held:
    // 1.1 s against 1.6 s).
    FortuneList list;
    const LoadResult loaded = loadFortunesFile(path, list);
    // A collection that is not there yet is made by the first record stored.
    if (loaded.outcome != LoadResult::Outcome::Loaded && loaded.outcome != LoadResult::Outcome::Missing)
        return fail(err, loaded.error);
    if (const QString problem = makeFolderFor(path); !problem.isEmpty())
        return fail(err, problem);
    CollectionFile collection(path);
    ImportCounts counts;
    QString error;
    ImportProgressLine progressLine(err);
    for (const QString &file : files) {
        error = importFile(file, encoding, collection, list, counts, progressLine, err);
        if (!error.isEmpty())
            break;
    }
    progressLine.clear();
    if (counts.leftOut > 0) {
        fail(err, QStringLiteral("%1 fortunes left out: they have no line, or a line of theirs is exactly the "
                                 "collection's record separator.").arg(counts.leftOut));
    }
    if (!error.isEmpty() && counts.added + counts.held == 0)
        return fail(err, error);
    QString summary = QStringLiteral("%1 new fortunes, %2 already in the collection").arg(counts.added).arg(counts.held);
    if (counts.leftOut + counts.leftOutRead > 0)
        summary += QStringLiteral(", %1 left out").arg(counts.leftOut + counts.leftOutRead);
    const int printed = print(out, err, summary.toUtf8() + '\n');
    return error.isEmpty() ? printed : fail(err, error);
}

} // namespace fortune
