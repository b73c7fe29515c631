#include "commandline.h"

#include "textdecoding.h"
#include "toolkitoptions.h"

#include <QCommandLineParser>

namespace fortune {

namespace {

const QString kCount = QStringLiteral("count");
const QString kSearch = QStringLiteral("search");
const QString kList = QStringLiteral("list");
const QString kRandom = QStringLiteral("random");
const QString kShort = QStringLiteral("short");
const QString kLong = QStringLiteral("long");
const QString kLength = QStringLiteral("length");
const QString kExport = QStringLiteral("export");
const QString kImport = QStringLiteral("import");
const QString kEncoding = QStringLiteral("encoding");
const QString kFile = QStringLiteral("file");
const QString kSite = QStringLiteral("site");
const QString kQuitAfterStart = QStringLiteral("quit-after-start");
const QString kStartDownload = QStringLiteral("start-download");

const qsizetype kShortLength = LengthLimit{}.limit;

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
        {kList,
         QStringLiteral("With --search: print the fortunes that contain TERM in the classic fortune format "
                        "(for strfile and fortune; one with a line \"%\" is left out, with a warning), and their "
                        "count on standard error. Ends quietly when its reader stops reading (| head).")},
        {kRandom, QStringLiteral("Print one fortune, chosen at random.")},
        {kShort,
         QStringLiteral("With --random: pick only among the short fortunes, of at most %1 characters (as "
                        "printed, each line break one character).").arg(kShortLength)},
        {kLong, QStringLiteral("With --random: pick only among the fortunes longer than %1 characters.")
                    .arg(kShortLength)},
        {kLength,
         QStringLiteral("With --short or --long: N characters (1 to %1) are short rather than %2.")
             .arg(kLongestLengthLimit).arg(kShortLength),
         QStringLiteral("N")},
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
        } else if (isToolkitOption(args[i], valueFollows)) {
            valueFollows = valueFollows && ownName(args.value(i + 1)).isEmpty();
            toolkit += args.mid(i, valueFollows ? 2 : 1);
        } else {
            own += args[i];
        }
        i += valueFollows;
    }
    return own;
}

// --short, --long and --length N of --random; a usage problem, or nothing.
QString readLengthLimit(const QCommandLineParser &parser, Invocation &invocation)
{
    LengthLimit &length = invocation.length;
    if (parser.isSet(kShort) && parser.isSet(kLong))
        return QStringLiteral("use only one of --short and --long");
    if (parser.isSet(kShort) || parser.isSet(kLong)) {
        if (invocation.action != Invocation::Action::Random)
            return QStringLiteral("--%1 goes with --random").arg(parser.isSet(kShort) ? kShort : kLong);
        length.kind = parser.isSet(kShort) ? LengthLimit::Kind::Short : LengthLimit::Kind::Long;
    }
    if (parser.isSet(kLength)) {
        if (length.kind == LengthLimit::Kind::Any)
            return QStringLiteral("--length goes with --random --short or --random --long");
        bool number = false;
        const qlonglong n = parser.value(kLength).toLongLong(&number);
        if (!number || n < 1 || n > kLongestLengthLimit) {
            return QStringLiteral("--length takes a number of characters from 1 to %1, not '%2'")
                .arg(kLongestLengthLimit).arg(parser.value(kLength));
        }
        length.limit = qsizetype(n);
    }
    return {};
}

// The options that go with an action; a usage problem, or nothing.
QString readModifiers(const QCommandLineParser &parser, Invocation &invocation)
{
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
    if (parser.isSet(kList)) {
        if (invocation.action != Invocation::Action::Search)
            return QStringLiteral("--list goes with --search");
        invocation.list = true;
    }
    return readLengthLimit(parser, invocation);
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
    return readModifiers(parser, invocation);
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

QString optionsHelp()
{
    QCommandLineParser parser;
    addOptions(parser);
    return parser.helpText();
}

} // namespace fortune
