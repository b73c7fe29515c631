#include "commandline.h"

#include "fortunelist.h"
#include "fortunesfile.h"
#include "location.h"
#include "randompick.h"
#include "startup.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>

#include <cstdio>

namespace fortune {

namespace {

const QString kCount = QStringLiteral("count");
const QString kSearch = QStringLiteral("search");
const QString kRandom = QStringLiteral("random");
const QString kFile = QStringLiteral("file");
const QString kSite = QStringLiteral("site");
const QString kQuitAfterStart = QStringLiteral("quit-after-start");
const QString kStartDownload = QStringLiteral("start-download");

void addOptions(QCommandLineParser &parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "Collects fortunes from the web, pages through them and searches them.\n"
        "Without --count, --search or --random it opens its window."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({kCount, QStringLiteral("Print how many fortunes the collection holds.")});
    parser.addOption({kSearch,
                      QStringLiteral("Print how many fortunes contain TERM, ignoring letter case."),
                      QStringLiteral("TERM")});
    parser.addOption({kRandom, QStringLiteral("Print one fortune, chosen at random.")});
    parser.addOption({kFile,
                      QStringLiteral("Read the fortunes file PATH instead of the collection "
                                     "(with --count, --search or --random)."),
                      QStringLiteral("PATH")});
    parser.addOption({kSite, QStringLiteral("Download fortunes from HOST (port PORT, 80 if not given)."),
                      QStringLiteral("HOST[:PORT]")});
    QCommandLineOption quitAfterStart(kQuitAfterStart);
    quitAfterStart.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(quitAfterStart);
    QCommandLineOption startDownload(kStartDownload);
    startDownload.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(startDownload);
}

// Qt's own options, taken by QApplication when the window opens. The parser
// would otherwise read "-style" as a bundle of one-letter options.
bool isToolkitOption(const QString &arg, bool &takesValue)
{
    static const char *const withValue[] = {"platform", "platformpluginpath", "platformtheme",
                                            "plugin",   "qwindowgeometry",    "qwindowtitle",
                                            "qwindowicon", "display",         "geometry",
                                            "style",    "stylesheet",         "session",
                                            "qmljsdebugger"};
    static const char *const flags[] = {"reverse", "widgetcount", "nograb", "dograb"};
    QStringView name(arg);
    if (name.startsWith(u"--"))
        name = name.mid(2);
    else if (name.startsWith(u'-'))
        name = name.mid(1);
    else
        return false;
    const qsizetype equals = name.indexOf(u'=');
    const bool inlineValue = equals >= 0;
    if (inlineValue)
        name = name.left(equals);
    for (const char *option : withValue) {
        if (name == QLatin1StringView(option)) {
            takesValue = !inlineValue;
            return true;
        }
    }
    for (const char *option : flags) {
        if (!inlineValue && name == QLatin1StringView(option)) {
            takesValue = false;
            return true;
        }
    }
    return false;
}

QStringList withoutToolkitOptions(const QStringList &args)
{
    QStringList kept;
    for (qsizetype i = 0; i < args.size(); ++i) {
        bool takesValue = false;
        if (i > 0 && isToolkitOption(args[i], takesValue)) {
            if (takesValue)
                ++i;
            continue;
        }
        if (args[i] == QLatin1String("--")) { // everything after it is an argument
            kept += args.mid(i);
            break;
        }
        kept += args[i];
    }
    return kept;
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
    switch (loaded.outcome) {
    case LoadResult::Outcome::Loaded:
        return std::nullopt;
    case LoadResult::Outcome::Missing:
        // The program's own collection does not exist before the first
        // download: that is an empty collection. A file named on the command
        // line that is not there is a mistake.
        if (invocation.file.isEmpty())
            return std::nullopt;
        return fail(err, fileMessage(FileAccess::Read, FileProblem::Missing, path));
    case LoadResult::Outcome::Failed:
        return fail(err, loaded.error.isEmpty() ? QStringLiteral("cannot read %1").arg(path)
                                                : loaded.error);
    case LoadResult::Outcome::Full:
        // The file holds more than the list can: any count would be wrong.
        return fail(err, loaded.error.isEmpty()
                             ? QStringLiteral("%1 holds more fortunes than the collection can").arg(path)
                             : loaded.error);
    }
    return std::nullopt;
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

} // namespace

Invocation parseArguments(const QStringList &args)
{
    Invocation invocation;
    QCommandLineParser parser;
    addOptions(parser);
    if (!parser.parse(withoutToolkitOptions(args))) {
        invocation.action = Invocation::Action::UsageError;
        invocation.error = parser.errorText();
        return invocation;
    }
    if (parser.isSet(kSite)) {
        const SiteOption site = parseSiteOption(parser.value(kSite));
        if (!site.ok()) {
            invocation.action = Invocation::Action::UsageError;
            invocation.error = site.error;
            return invocation;
        }
        invocation.site = site.site;
    }
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        invocation.action = Invocation::Action::Help;
        return invocation;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        invocation.action = Invocation::Action::Version;
        return invocation;
    }
    auto usage = [&](const QString &message) {
        invocation.action = Invocation::Action::UsageError;
        invocation.error = message;
        return invocation;
    };
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));
    const int actions = int(parser.isSet(kCount)) + int(parser.isSet(kSearch)) + int(parser.isSet(kRandom));
    if (actions > 1)
        return usage(QStringLiteral("use only one of --count, --search and --random"));
    if (parser.isSet(kCount)) {
        invocation.action = Invocation::Action::Count;
    } else if (parser.isSet(kSearch)) {
        invocation.action = Invocation::Action::Search;
        invocation.term = parser.value(kSearch);
    } else if (parser.isSet(kRandom)) {
        invocation.action = Invocation::Action::Random;
    }
    if (parser.isSet(kFile)) {
        if (invocation.action == Invocation::Action::Window)
            return usage(QStringLiteral("--file goes with --count, --search or --random"));
        invocation.file = parser.value(kFile);
        if (invocation.file.isEmpty())
            return usage(QStringLiteral("--file needs a path"));
    }
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
    case Invocation::Action::Help: {
        QCommandLineParser parser;
        addOptions(parser);
        const QString text = parser.helpText()
                             + QStringLiteral("\nThe collection is the file\n  %1\n"
                                              "It lies beside the program when the program's directory is\n"
                                              "writable or already holds fortunes.txt, otherwise in your\n"
                                              "data directory.\n")
                                   .arg(collectionPath);
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
        // The window's message, word for word.
        const QString message = QString::number(list.countContaining(invocation.term))
                                + QStringLiteral(" fortunes contain '") + invocation.term
                                + QStringLiteral("'.");
        return print(out, err, message.toUtf8() + '\n');
    }
    case Invocation::Action::Random: {
        const RandomPick pick = pickRandomFortune(path, random);
        switch (pick.outcome) {
        case RandomPick::Outcome::Picked:
            return print(out, err, consoleForm(pick.fortune));
        case RandomPick::Outcome::Empty:
            return 0; // nothing to say, as for an empty fortune file
        case RandomPick::Outcome::Missing:
            if (invocation.file.isEmpty())
                return 0;
            return fail(err, fileMessage(FileAccess::Read, FileProblem::Missing, path));
        case RandomPick::Outcome::Failed:
            return fail(err, pick.error);
        }
        return 0;
    }
    }
    return 0;
}

std::optional<int> runWithoutWindow(int &argc, char **argv, StartOptions &options)
{
    QStringList args;
    args.reserve(argc);
    for (int i = 0; i < argc; ++i)
        args += QString::fromLocal8Bit(argv[i]);
    const Invocation invocation = parseArguments(args);
    if (invocation.action == Invocation::Action::Window) {
        options.site = invocation.site;
        return std::nullopt;
    }

    // The collection's place and the help text need the application's names;
    // this instance is gone before the window's QApplication is made.
    std::optional<QCoreApplication> app;
    if (!QCoreApplication::instance())
        app.emplace(argc, argv);
    describeApplication();

    QFile out;
    QFile err;
    out.open(stdout, QIODevice::WriteOnly);
    err.open(stderr, QIODevice::WriteOnly);
    const bool ownCollection = invocation.file.isEmpty() || invocation.action == Invocation::Action::Help;
    const QString collection = ownCollection ? collectionFilePath() : QString();
    int code = runConsoleAction(invocation, collection, out, err, *QRandomGenerator::global());
    if (!out.flush() && code == 0) {
        const QByteArray message = "fortune-collector: cannot write the output\n";
        err.write(message);
        code = 1;
    }
    return code;
}

} // namespace fortune
