#include "commandline.h"

#include "classicfile.h"
#include "exporttarget.h"
#include "fortunelist.h"
#include "collectionfile.h"
#include "fortunesreader.h"
#include "location.h"
#include "randompick.h"
#include "startup.h"
#include "textdecoding.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>

#include <csignal>
#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#define isatty _isatty
#define STDERR_FILENO 2
#else
#include <unistd.h>
#endif

namespace fortune {

namespace {

const QString kCount = QStringLiteral("count");
const QString kSearch = QStringLiteral("search");
const QString kRandom = QStringLiteral("random");
const QString kExport = QStringLiteral("export");
const QString kImport = QStringLiteral("import");
const QString kEncoding = QStringLiteral("encoding");
const QString kFile = QStringLiteral("file");
const QString kSite = QStringLiteral("site");
const QString kQuitAfterStart = QStringLiteral("quit-after-start");
const QString kStartDownload = QStringLiteral("start-download");

// The program's own options, for the parser, the help and the manual page.
QList<QCommandLineOption> programOptions()
{
    // Hooks for the start-up benchmark and the killed-download test, not for users.
    QCommandLineOption quitAfterStart(kQuitAfterStart);
    QCommandLineOption startDownload(kStartDownload);
    for (QCommandLineOption *hook : {&quitAfterStart, &startDownload})
        hook->setFlags(QCommandLineOption::HiddenFromHelp);
    return {
        {kCount, QStringLiteral("Print how many fortunes the collection holds.")},
        {kSearch, QStringLiteral("Print how many fortunes contain TERM, ignoring letter case."),
         QStringLiteral("TERM")},
        {kRandom, QStringLiteral("Print one fortune, chosen at random.")},
        {kExport,
         QStringLiteral("Write the collection to FILE in the classic fortune format "
                        "(for strfile and fortune); - for standard output."),
         QStringLiteral("FILE")},
        {kImport,
         QStringLiteral("Add the fortunes of FILE (classic fortune format or this program's own) that the "
                        "collection does not hold yet. May be given more than once."),
         QStringLiteral("FILE")},
        {kEncoding,
         QStringLiteral("Read the files of --import as text in NAME (ISO-8859-3, KOI8-R, Shift_JIS...) rather "
                        "than UTF-8, where each fortune that is not valid UTF-8 is read as Windows-1252."),
         QStringLiteral("NAME")},
        {kFile,
         QStringLiteral("Use the fortunes file PATH instead of the collection "
                        "(with --count, --search, --random, --export or --import)."),
         QStringLiteral("PATH")},
        {kSite,
         QStringLiteral("Download fortunes from HOST (port PORT, 80 if not given; or the address "
                        "fortune-site prints) in this run, instead of the site chosen in the window (Ctrl+L)."),
         QStringLiteral("HOST[:PORT]")},
        quitAfterStart,
        startDownload,
    };
}

void addOptions(QCommandLineParser &parser)
{
    const QString firstDownload = defaultSiteSettings().placeholder
                                      ? QStringLiteral(" While no site is\nchosen yet, its first \"Download Fortunes\" "
                                                       "asks for one: the address fortune-site prints\n(Ctrl+L changes it later).")
                                      : QString();
    parser.setApplicationDescription(QStringLiteral(
        "Collects fortunes from the web, pages through them and searches them.\n"
        "Without --count, --search, --random, --export or --import it opens its window.") + firstDownload);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions(programOptions());
}

// The options Qt reads when the window opens; the window gets these and only
// these. Without them set aside, the parser would read "-style" as a bundle of
// one-letter options.
struct ToolkitOption {
    const char *name;
    const char *value; // nullptr for a flag
    const char *description;
};
constexpr ToolkitOption kToolkitOptions[] = {
    {"platform", "name[:options]", "Qt platform plugin: xcb, wayland, offscreen..."},
    {"platformpluginpath", "path", "Where to look for platform plugins."},
    {"platformtheme", "name", "Platform theme: a desktop's fonts, dialogs..."},
    {"plugin", "name", "An input plugin to load as well."},
    {"qwindowgeometry", "geometry", "Size and place of the window: WxH+X+Y."},
    {"geometry", "geometry", "The same, on X11."},
    {"qwindowtitle", "title", "Title of the window."},
    {"qwindowicon", "file", "Icon of the window."},
    {"display", "display", "The X server to show the window on."},
    {"style", "name", "Widget style: Fusion, Windows, ..."},
    {"stylesheet", "file", "Qt style sheet for the window."},
    {"session", "id", "Session to restore (from the session manager)."},
    {"reverse", nullptr, "Lay the window out from right to left."},
    {"widgetcount", nullptr, "At the end, tell how many widgets were left."},
    {"nograb", nullptr, "Never grab the mouse or the keyboard (X11)."},
    {"dograb", nullptr, "Grab them even under a debugger (X11)."},
};

// Qt takes its options with one dash or two, and a value after "=" or as the
// next word.
const ToolkitOption *toolkitOption(const QString &arg, bool &valueFollows)
{
    QStringView name(arg);
    if (name.startsWith(u"--"))
        name = name.mid(2);
    else if (name.startsWith(u'-'))
        name = name.mid(1);
    else
        return nullptr;
    const qsizetype equals = name.indexOf(u'=');
    for (const ToolkitOption &option : kToolkitOptions) {
        if (equals < 0 && name == QLatin1StringView(option.name)) {
            valueFollows = option.value != nullptr;
            return &option;
        }
        if (equals >= 0 && option.value && name.left(equals) == QLatin1StringView(option.name)) {
            valueFollows = false;
            return &option;
        }
    }
    return nullptr;
}

QString toolkitHelp()
{
    QString text = QStringLiteral("\nOptions of the window, read by Qt (with one dash or two):\n");
    for (const ToolkitOption &option : kToolkitOptions) {
        QString name = QLatin1Char('-') + QLatin1StringView(option.name);
        if (option.value)
            name += QStringLiteral(" <%1>").arg(QLatin1StringView(option.value));
        text += QStringLiteral("  %1  %2\n").arg(name, -26).arg(QLatin1StringView(option.description));
    }
    return text;
}

// Takes the program's options first, each with the word after it as its
// value where it takes one; Qt's own options, with theirs (never one of the
// program's options), go to toolkit. Whatever follows "--" is the program's.
QStringList programArguments(const QStringList &args, QStringList &toolkit)
{
    QStringList names{QStringLiteral("help"), QStringLiteral("help-all"), QStringLiteral("version")};
    QStringList withValue;
    for (const QCommandLineOption &option : programOptions()) {
        names += option.names();
        if (!option.valueName().isEmpty())
            withValue += option.names();
    }
    const auto ownName = [&](const QString &arg) {
        if (arg == QLatin1String("-h") || arg == QLatin1String("-v"))
            return arg.mid(1);
        const QString name = arg.mid(2).section(QLatin1Char('='), 0, 0);
        return arg.startsWith(QLatin1String("--")) && names.contains(name) ? name : QString();
    };
    QStringList own = args.mid(0, 1);
    for (qsizetype i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--")) {
            own += args.mid(i);
            break;
        }
        const QString name = ownName(args[i]);
        bool valueFollows = false;
        if (!name.isEmpty()) {
            valueFollows = withValue.contains(name) && !args[i].contains(QLatin1Char('='));
            own += args.mid(i, valueFollows ? 2 : 1);
        } else if (toolkitOption(args[i], valueFollows)) {
            valueFollows = valueFollows && ownName(args.value(i + 1)).isEmpty();
            toolkit += args.mid(i, valueFollows ? 2 : 1);
        } else {
            own += args[i];
        }
        i += valueFollows;
    }
    return own;
}

QString oneLine(QString text)
{
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.trimmed();
}

bool writeAll(QIODevice &device, const QByteArray &bytes)
{
    return device.write(bytes) == bytes.size();
}

int fail(QIODevice &err, const QString &message, int code = 1)
{
    writeAll(err, QStringLiteral("fortune-collector: %1\n").arg(oneLine(message)).toUtf8());
    return code;
}

int print(QIODevice &out, QIODevice &err, const QByteArray &bytes)
{
    if (!writeAll(out, bytes))
        return fail(err, QStringLiteral("cannot write the output: %1").arg(out.errorString()));
    return 0;
}

// Loads the file for --count and --search, with the window's loader. Returns
// an exit status when the file cannot be used.
std::optional<int> loadForCount(const Invocation &invocation, const QString &path,
                                FortuneList &list, QIODevice &err)
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

// Adds the fortunes of each file given that the collection does not hold yet;
// a file that cannot be read ends it, and what earlier files added stays.
int importFiles(const Invocation &invocation, const QString &path, QIODevice &out, QIODevice &err)
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
    qsizetype added = 0;
    qsizetype held = 0;
    qsizetype leftOut = 0;     // by the store
    qsizetype leftOutRead = 0; // by the reader, each told
    QString error;
    ImportProgressLine progressLine(err);
    for (const QString &file : invocation.importFiles) {
        const AnyFileLoad source = loadAnyFortunesFile(file, invocation.encoding);
        if (source.result.outcome != LoadResult::Outcome::Loaded) {
            error = source.result.error;
            break;
        }
        constexpr size_t kTold = 10; // a file of another encoding could fill the screen
        if (!source.leftOut.empty())
            progressLine.clear();
        for (size_t i = 0; i < source.leftOut.size(); ++i) {
            if (i == kTold) {
                fail(err, QStringLiteral("\"%1\": %2 more fortunes left out.")
                              .arg(shownPath(file)).arg(source.leftOut.size() - kTold));
                break;
            }
            fail(err, QStringLiteral("\"%1\": fortune %2 left out: %3.")
                          .arg(shownPath(file)).arg(source.leftOut[i].number).arg(source.leftOut[i].why));
        }
        leftOutRead += qsizetype(source.leftOut.size());
        const CollectionFile::Imported done = collection.storeAllUnlessHeld(
            *source.list, list, [&](qsizetype at, qsizetype total) { progressLine.show(file, at, total); });
        added += done.added;
        held += done.held;
        leftOut += done.leftOut;
        if (!done.status.ok()) {
            error = done.status.error;
            break;
        }
    }
    progressLine.clear();
    if (leftOut > 0) {
        fail(err, QStringLiteral("%1 fortunes left out: they have no line, or a line of theirs is exactly the "
                                 "collection's record separator.").arg(leftOut));
    }
    if (!error.isEmpty() && added + held == 0)
        return fail(err, error);
    QString summary = QStringLiteral("%1 new fortunes, %2 already in the collection").arg(added).arg(held);
    if (leftOut + leftOutRead > 0)
        summary += QStringLiteral(", %1 left out").arg(leftOut + leftOutRead);
    const int printed = print(out, err, summary.toUtf8() + '\n');
    return error.isEmpty() ? printed : fail(err, error);
}

// The console action asked for, with its values; a usage problem, or nothing.
QString readAction(const QCommandLineParser &parser, Invocation &invocation)
{
    if (!parser.positionalArguments().isEmpty())
        return QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
    const int actions = int(parser.isSet(kCount)) + int(parser.isSet(kSearch)) + int(parser.isSet(kRandom))
                        + int(parser.isSet(kExport)) + int(parser.isSet(kImport));
    if (actions > 1)
        return QStringLiteral("use only one of --count, --search, --random, --export and --import");
    if (parser.isSet(kCount)) {
        invocation.action = Invocation::Action::Count;
    } else if (parser.isSet(kSearch)) {
        invocation.action = Invocation::Action::Search;
        invocation.term = parser.value(kSearch);
    } else if (parser.isSet(kRandom)) {
        invocation.action = Invocation::Action::Random;
    } else if (parser.isSet(kExport)) {
        invocation.action = Invocation::Action::Export;
        invocation.exportFile = parser.value(kExport);
        if (invocation.exportFile.isEmpty())
            return QStringLiteral("--export needs a path");
    } else if (parser.isSet(kImport)) {
        invocation.action = Invocation::Action::Import;
        invocation.importFiles = parser.values(kImport);
        if (invocation.importFiles.contains(QString()))
            return QStringLiteral("--import needs a path");
    }
    if (parser.isSet(kEncoding)) {
        if (invocation.action != Invocation::Action::Import)
            return QStringLiteral("--encoding goes with --import");
        invocation.encoding = parser.value(kEncoding).toLatin1();
        if (invocation.encoding.isEmpty())
            return QStringLiteral("--encoding needs the name of a character set");
        if (const QString problem = lineCharsetProblem(invocation.encoding); !problem.isEmpty())
            return QStringLiteral("--encoding: %1").arg(problem);
    }
    if (parser.isSet(kFile)) {
        if (invocation.action == Invocation::Action::Window)
            return QStringLiteral("--file goes with --count, --search, --random, --export or --import");
        invocation.file = parser.value(kFile);
        if (invocation.file.isEmpty())
            return QStringLiteral("--file needs a path");
    }
    return {};
}

} // namespace

Invocation parseArguments(const QStringList &args)
{
    Invocation invocation;
    const auto usage = [&](const QString &problem) {
        invocation.action = Invocation::Action::UsageError;
        invocation.error = problem;
        return invocation;
    };
    QCommandLineParser parser;
    addOptions(parser);
    QStringList toolkit;
    if (!parser.parse(programArguments(args, toolkit)))
        return usage(parser.errorText());
    if (parser.isSet(kSite)) {
        const SiteOption site = parseSiteOption(parser.value(kSite));
        if (!site.ok())
            return usage(site.error);
        invocation.start.site = site.site;
    }
    invocation.start.quitAfterStart = parser.isSet(kQuitAfterStart);
    invocation.start.startDownload = parser.isSet(kStartDownload);
    invocation.start.toolkitOptions = toolkit;
    if (parser.isSet(QStringLiteral("help-all")))
        invocation.action = Invocation::Action::HelpAll;
    else if (parser.isSet(QStringLiteral("help")))
        invocation.action = Invocation::Action::Help;
    else if (parser.isSet(QStringLiteral("version")))
        invocation.action = Invocation::Action::Version;
    else if (const QString problem = readAction(parser, invocation); !problem.isEmpty())
        return usage(problem);
    return invocation;
}

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
    case Invocation::Action::HelpAll: {
        QCommandLineParser parser;
        addOptions(parser);
        const QString toolkit = invocation.action == Invocation::Action::HelpAll ? toolkitHelp() : QString();
        const QString text = parser.helpText() + toolkit
                             + QStringLiteral("\nThe collection is the file\n  %1\n"
                                              "It lies beside the program when the program's directory is\n"
                                              "writable or already holds fortunes.txt, otherwise in your\n"
                                              "data directory.\n")
                                   .arg(QDir::toNativeSeparators(collectionPath));
        return print(out, err, text.toUtf8());
    }
    case Invocation::Action::Version:
        return print(out, err,
                     QStringLiteral("fortune-collector %1\n").arg(QCoreApplication::applicationVersion()).toUtf8());
    case Invocation::Action::Count: {
        FortuneList list;
        if (const auto failed = loadForCount(invocation, path, list, err))
            return *failed;
        return print(out, err, QByteArray::number(list.count()) + '\n');
    }
    case Invocation::Action::Search: {
        FortuneList list;
        if (const auto failed = loadForCount(invocation, path, list, err))
            return *failed;
        const QString message = searchMessage(list.countContaining(invocation.term), invocation.term);
        return print(out, err, message.toUtf8() + '\n');
    }
    case Invocation::Action::Export: {
        FortuneList list;
        if (const auto failed = loadForCount(invocation, path, list, err))
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
    case Invocation::Action::Import:
        return importFiles(invocation, path, out, err);
    case Invocation::Action::Random: {
        const RandomPick pick = pickRandomFortune(path, random);
        if (pick.outcome != RandomPick::Outcome::Picked)
            return fail(err, pick.error);
        return print(out, err, consoleForm(pick.fortune));
    }
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

ToolkitArguments::ToolkitArguments(const char *program, const QStringList &options)
{
    m_bytes.emplace_back(program);
    for (const QString &option : options)
        m_bytes.push_back(option.toLocal8Bit());
    for (QByteArray &bytes : m_bytes)
        m_argv.push_back(bytes.data());
    m_argc = int(m_bytes.size());
    m_argv.push_back(nullptr);
}

} // namespace fortune
