#include "consoleactions.h"

#include "consoleoutput.h"
#include "classicfile.h"
#include "exporttarget.h"
#include "fortunelist.h"
#include "fortunesreader.h"
#include "importcommand.h"
#include "location.h"
#include "randompick.h"
#include "startup.h"
#include "textdecoding.h"
#include "toolkitoptions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <csignal>

namespace fortune {

namespace {

// The program's own collection does not exist before the first download:
// that is an empty collection. A file named on the command line that is not
// there is a mistake. A full list would give a wrong count. An exit status
// when what was read cannot be used.
std::optional<int> unusable(const Invocation &invocation, const LoadResult &loaded, QIODevice &err)
{
    if (loaded.outcome == LoadResult::Outcome::Loaded
        || (loaded.outcome == LoadResult::Outcome::Missing && invocation.file.isEmpty()))
        return std::nullopt;
    return fail(err, loaded.error);
}

// Loads the file for --count and --export, with the window's loader.
std::optional<int> loadWhole(const Invocation &invocation, const QString &path, FortuneList &list, QIODevice &err)
{
    return unusable(invocation, loadFortunesFile(path, list), err);
}

void warnPercentLines(QIODevice &err, qsizetype leftOut)
{
    if (leftOut > 0) { // a warning: the rest went out
        fail(err, QStringLiteral("%1 fortunes left out: a line of theirs is exactly \"%\", which ends a "
                                 "fortune in the classic format.").arg(leftOut));
    }
}

// As the classic fortune program prints a fortune: each line ends with the
// platform's line break.
QByteArray consoleForm(const QByteArray &stored)
{
    QString text = decodeFortune(stored);
#ifndef Q_OS_WIN
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
#endif
    return text.toUtf8();
}

int showHelp(const Invocation &invocation, const QString &collectionPath, QIODevice &out, QIODevice &err)
{
    const QString toolkit = invocation.action == Invocation::Action::HelpAll ? toolkitHelp() : QString();
    const QString text = optionsHelp() + toolkit
                         + QStringLiteral("\nThe collection is the file\n  %1\n"
                                          "It lies beside the program when the program's directory is\n"
                                          "writable or already holds fortunes.txt, otherwise in your\n"
                                          "data directory.\n")
                               .arg(QDir::toNativeSeparators(collectionPath));
    return print(out, err, text.toUtf8());
}

int count(const Invocation &invocation, const QString &path, QIODevice &out, QIODevice &err)
{
    FortuneList list;
    if (const auto failed = loadWhole(invocation, path, list, err))
        return *failed;
    return print(out, err, QByteArray::number(list.count()) + '\n');
}

// The file is read a piece of this size at a time, whatever its size.
constexpr qint64 kSearchPiece = 8 * 1024 * 1024;

struct Found {
    qsizetype hits = 0;   // the count
    qsizetype listed = 0; // written in the classic format
    qsizetype percentLines = 0;
    bool written = true;
};

// Lists the fortunes of piece that contain term; false once out cannot be written.
bool listMatches(const FortuneList &piece, QStringView term, QIODevice &out, Found &found)
{
    FortuneList matches;
    for (const qsizetype i : piece.indexesContaining(term))
        matches.store(piece.rawAt(i));
    found.hits += matches.count();
    const ClassicExport done = exportClassicFortunes(
        matches, [&](QByteArrayView bytes) { return found.written = writeAll(out, bytes); });
    found.listed += done.written;
    found.percentLines += done.leftOut;
    return found.written;
}

// --search counts, and with --list prints, the fortunes that contain the
// term, reading the file a piece at a time.
int search(const Invocation &invocation, const QString &path, QIODevice &out, QIODevice &err)
{
    Found found;
    const LoadResult read = readFortunesInPieces(path, kSearchPiece, [&](const FortuneList &piece) {
        if (invocation.list)
            return listMatches(piece, invocation.term, out, found);
        found.hits += piece.countContaining(invocation.term);
        return true;
    });
    if (!found.written)
        return outputFailed(out, err);
    if (const auto failed = unusable(invocation, read, err))
        return *failed;
    if (!invocation.list)
        return print(out, err, searchMessage(found.hits, invocation.term).toUtf8() + '\n');
    warnPercentLines(err, found.percentLines);
    if (const qsizetype blank = found.hits - found.listed - found.percentLines; blank > 0)
        fail(err, QStringLiteral("%1 fortunes left out: they hold nothing but blank space.").arg(blank));
    return print(err, err, searchMessage(found.hits, invocation.term).toUtf8() + '\n');
}

int exportClassic(const Invocation &invocation, const QString &path, QIODevice &out, QIODevice &err)
{
    FortuneList list;
    if (const auto failed = loadWhole(invocation, path, list, err))
        return *failed;
    const ClassicExport done = exportClassicFile(list, invocation.exportFile, path, out);
    if (!done.error.isEmpty())
        return fail(err, done.error);
    warnPercentLines(err, done.leftOut);
    // Not into the export itself.
    QIODevice &said = isStandardOutput(invocation.exportFile) ? err : out;
    return print(said, err, QByteArray::number(done.written) + " fortunes exported\n");
}

int pickRandom(const Invocation &invocation, const QString &path, QIODevice &out, QIODevice &err,
               QRandomGenerator &random)
{
    RandomPickOptions options;
    options.length = invocation.length;
    const RandomPick pick = pickRandomFortune(path, random, options);
    if (pick.outcome != RandomPick::Outcome::Picked)
        return fail(err, pick.error);
    return print(out, err, consoleForm(pick.fortune));
}

} // namespace

int runConsoleAction(const Invocation &invocation, const QString &collectionPath,
                     QIODevice &out, QIODevice &err, QRandomGenerator &random)
{
    const QString path = invocation.file.isEmpty() ? collectionPath : invocation.file;
    switch (invocation.action) {
    case Invocation::Action::Window:
        return 0;
    case Invocation::Action::UsageError:
        return fail(err, invocation.error + QStringLiteral(" (see --help)"), kUsageExitCode);
    case Invocation::Action::Help:
    case Invocation::Action::HelpAll:
        return showHelp(invocation, collectionPath, out, err);
    case Invocation::Action::Version:
        return print(out, err,
                     QStringLiteral("fortune-collector %1\n").arg(QCoreApplication::applicationVersion()).toUtf8());
    case Invocation::Action::Count:
        return count(invocation, path, out, err);
    case Invocation::Action::Search:
        return search(invocation, path, out, err);
    case Invocation::Action::Export:
        return exportClassic(invocation, path, out, err);
    case Invocation::Action::Import:
        return importFiles(invocation.importFiles, invocation.encoding, path, out, err);
    case Invocation::Action::Random:
        return pickRandom(invocation, path, out, err, random);
    }
    return 0;
}

std::optional<int> runWithoutWindow(int argc, char **argv, StartOptions &options)
{
    QStringList args;
    args.reserve(argc);
    for (int i = 0; i < argc; ++i)
        args += QString::fromLocal8Bit(argv[i]);
    const Invocation invocation = parseArguments(args);
    if (invocation.action == Invocation::Action::Window) {
        options = invocation.start;
        return std::nullopt;
    }

    // The collection's place and the help text need the application's names;
    // this instance, which sees the program's name alone, is gone before the
    // window's QApplication is made.
    int programOnly = 1;
    std::optional<QCoreApplication> app;
    if (!QCoreApplication::instance())
        app.emplace(programOnly, argv);
    describeApplication();

#ifndef Q_OS_WIN
    // A reader that went away is a write error with its reason and exit
    // status 1, not a silent death. But a reader of --list that has seen
    // enough (| head) ends it as it ends grep or cat: quietly, by SIGPIPE,
    // which shells do not report (exit status 141 under pipefail).
    std::signal(SIGPIPE, invocation.list ? SIG_DFL : SIG_IGN);
#endif
    QFile out;
    QFile err;
    out.open(stdout, QIODevice::WriteOnly);
    err.open(stderr, QIODevice::WriteOnly);
    const bool ownCollection = invocation.file.isEmpty() || invocation.action == Invocation::Action::Help
                               || invocation.action == Invocation::Action::HelpAll;
    const QString collection = ownCollection ? collectionFilePath() : QString();
    int code = runConsoleAction(invocation, collection, out, err, *QRandomGenerator::global());
    if (!out.flush() && code == 0)
        code = outputFailed(out, err);
    return code;
}

} // namespace fortune
