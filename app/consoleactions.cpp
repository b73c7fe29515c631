#include "consoleactions.h"

#include "consoleoutput.h"
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

// Loads the file for --count, --search and --export, with the window's
// loader. Returns an exit status when the file cannot be used.
std::optional<int> loadWhole(const Invocation &invocation, const QString &path, FortuneList &list, QIODevice &err)
{
    const LoadResult loaded = loadFortunesFile(path, list);
    // The program's own collection does not exist before the first download:
    // that is an empty collection. A file named on the command line that is
    // not there is a mistake. A full list would give a wrong count.
    if (loaded.outcome == LoadResult::Outcome::Loaded
        || (loaded.outcome == LoadResult::Outcome::Missing && invocation.file.isEmpty()))
        return std::nullopt;
    return fail(err, loaded.error);
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

int search(const Invocation &invocation, const QString &path, QIODevice &out, QIODevice &err)
{
    FortuneList list;
    if (const auto failed = loadWhole(invocation, path, list, err))
        return *failed;
    const QString message = searchMessage(list.countContaining(invocation.term), invocation.term);
    return print(out, err, message.toUtf8() + '\n');
}

int exportClassic(const Invocation &invocation, const QString &path, QIODevice &out, QIODevice &err)
{
    FortuneList list;
    if (const auto failed = loadWhole(invocation, path, list, err))
        return *failed;
    const ClassicExport done = exportClassicFile(list, invocation.exportFile, path, out);
    if (!done.error.isEmpty())
        return fail(err, done.error);
    if (done.leftOut > 0) { // a warning: the rest was exported
        fail(err, QStringLiteral("%1 fortunes left out: a line of theirs is exactly \"%\", which ends a "
                                 "fortune in the classic format.").arg(done.leftOut));
    }
    // Not into the export itself.
    QIODevice &said = isStandardOutput(invocation.exportFile) ? err : out;
    return print(said, err, QByteArray::number(done.written) + " fortunes exported\n");
}

int pickRandom(const QString &path, QIODevice &out, QIODevice &err, QRandomGenerator &random)
{
    const RandomPick pick = pickRandomFortune(path, random);
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
        return pickRandom(path, out, err, random);
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
    // status 1, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
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
        code = fail(err, QStringLiteral("cannot write the output: %1").arg(out.errorString()));
    return code;
}

} // namespace fortune
