// fortune-site: serves the fortune page that fortune-collector downloads from,
// with fortunes from one or more files, so that a household, an office or a
// club can share a collection:
//
//   fortune-site --file ~/.local/share/fortune-collector/fortunes.txt
//   fortune-collector --site 127.0.0.1:8080
#include "fortunesite.h"
#include "responsereader.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Exit statuses: a command line that makes no sense, and a file or an
// address that fails.
constexpr int kUsage = 2;
constexpr int kFailed = 1;

int fail(const QString &message, int status)
{
    std::fprintf(stderr, "fortune-site: %s\n", qPrintable(message));
    return status;
}

// Every connection takes a file descriptor: the soft limit goes up to the
// hard one. Returns how many the process may have open.
qint64 raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? std::numeric_limits<qint64>::max() : qint64(limit.rlim_cur);
}

// SIGTERM and SIGINT reach the event loop through a pipe: the handler only
// writes a byte to it, which is all a handler may safely do.
int g_stopPipe[2] = {-1, -1};

extern "C" void onStopSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_stopPipe[1], &byte, 1);
    errno = saved;
}

// Calls stop on the event loop at each SIGTERM or SIGINT.
bool watchStopSignals(QObject *context, const std::function<void()> &stop)
{
    if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    auto *notifier = new QSocketNotifier(g_stopPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [stop] {
        char bytes[16];
        while (::read(g_stopPipe[0], bytes, sizeof bytes) > 0) {
        }
        stop();
    });
    struct sigaction action{};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

struct Options {
    QStringList files;
    QString listen;
    QHostAddress address;
    quint16 port = 0;
    uint maxConnections = 0;
    uint timeoutSeconds = 0;
    bool sequential = false;
};

struct CommandLine {
    QCommandLineParser parser;
    QCommandLineOption file{QStringLiteral("file"),
                            QStringLiteral("A file of fortunes to serve. May be given more than once."),
                            QStringLiteral("PATH")};
    QCommandLineOption listen{
        QStringLiteral("listen"),
        QStringLiteral("The address to take connections on: 127.0.0.1 (the default) for this machine only, "
                       "0.0.0.0 for every IPv4 address, :: for every address, or one address of this machine."),
        QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1")};
    QCommandLineOption port{QStringLiteral("port"), QStringLiteral("The TCP port (default 8080; 0: any free port)."),
                            QStringLiteral("N"), QStringLiteral("8080")};
    QCommandLineOption connections{
        QStringLiteral("max-connections"),
        QStringLiteral("Clients served at once (default 1024): those waiting for a request or taking an answer. "
                       "One whose last answer is out, or that was refused, counts no more. Past the cap, the one "
                       "that has waited longest (a tenth of a second or more) for its request makes room, or the newcomer "
                       "is answered 503."),
        QStringLiteral("N"), QStringLiteral("1024")};
    QCommandLineOption timeout{
        QStringLiteral("request-timeout"),
        QStringLiteral("Seconds a client has to send its whole request, and to take each answer (default 10)."),
        QStringLiteral("SECONDS"), QStringLiteral("10")};
    QCommandLineOption random{QStringLiteral("random"),
                              QStringLiteral("Serve a fortune chosen at random each time (the default).")};
    QCommandLineOption sequential{QStringLiteral("sequential"),
                                  QStringLiteral("Serve the fortunes in file order, then again.")};

    CommandLine();
    // The options, or nothing with message set when the command line makes no sense.
    std::optional<Options> read(QString &message) const;
};

CommandLine::CommandLine()
{
    parser.setApplicationDescription(QStringLiteral(
        "Serves the fortune page that fortune-collector downloads from (GET /fortune.shtml), with\n"
        "one fortune at random from the files given, so that others can download from your collection.\n"
        "Files in fortune-collector's format or the classic fortune format (fortunes ended by a line\n"
        "\"%\") are both read; a file that grows or is replaced is served as it is now, without a\n"
        "restart. Fortunes a collector would refuse (larger than %1 MiB, or holding NUL bytes) are\n"
        "left out with a warning. Nothing is ever written. Every other path is answered 404.\n"
        "SIGTERM or SIGINT (Ctrl+C) ends it once the answers under way are out, within a second.\n"
        "One line for each client refused, evicted or timed out goes to standard error with\n"
        "QT_LOGGING_RULES=\"fortune.site.clients.info=true\".")
                                          .arg(fortune::ResponseReader::kMaxResponse / (1024 * 1024)));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({file, listen, port, connections, timeout, random, sequential});
}

std::optional<Options> CommandLine::read(QString &message) const
{
    const auto number = [&](const QCommandLineOption &option, uint lowest, uint highest, uint &value) {
        bool ok = false;
        value = parser.value(option).toUInt(&ok);
        return ok && value >= lowest && value <= highest;
    };
    Options options;
    uint portNumber = 0;
    if (!parser.isSet(file))
        message = QStringLiteral("--file is required (see --help)");
    else if (!number(port, 0, 65535, portNumber))
        message = QStringLiteral("--port %1 is not a port number").arg(parser.value(port));
    else if (!number(connections, 1, 1'000'000, options.maxConnections))
        message = QStringLiteral("--max-connections %1 is not a number from 1 to 1000000").arg(parser.value(connections));
    else if (!number(timeout, 1, 3600, options.timeoutSeconds))
        message = QStringLiteral("--request-timeout %1 is not a number of seconds from 1 to 3600").arg(parser.value(timeout));
    else if (parser.isSet(random) && parser.isSet(sequential))
        message = QStringLiteral("--random and --sequential exclude each other");
    else if (!options.address.setAddress(parser.value(listen)))
        message = QStringLiteral("--listen %1 is not an IP address").arg(parser.value(listen));
    if (!message.isEmpty())
        return std::nullopt;
    options.files = parser.values(file);
    options.listen = parser.value(listen);
    if (options.listen == QLatin1String("::"))
        options.address = QHostAddress::Any; // IPv4 too, as the system does for [::]
    options.port = quint16(portNumber);
    options.sequential = parser.isSet(sequential);
    return options;
}

int serve(const Options &options)
{
    fortune::site::ServedFortunes fortunes(options.sequential);
    if (const QString problem = fortunes.load(options.files); !problem.isEmpty())
        return fail(problem, kFailed);
    fortune::site::SiteLimits limits;
    // Room for the files, the listening socket and the clients that finish
    // (as many again at the most) besides the clients that count.
    limits.maxConnections = int(std::min<qint64>(options.maxConnections, std::max<qint64>(1, (raiseDescriptorLimit() - 64) / 2)));
    limits.requestTimeout = std::chrono::seconds(options.timeoutSeconds);
    fortune::site::FortuneSite site(fortunes, limits);
    if (!site.listen(options.address, options.port)) {
        return fail(QStringLiteral("cannot listen on %1 port %2: %3").arg(options.listen).arg(options.port).arg(site.errorString()),
                    kFailed);
    }
    QObject::connect(&site, &fortune::site::FortuneSite::stopped, qApp, &QCoreApplication::quit);
    if (!watchStopSignals(&site, [&site] { site.stop(); }))
        return fail(QStringLiteral("cannot watch for SIGTERM: %1").arg(qt_error_string(errno)), kFailed);
    const QString host = options.listen.contains(u':') ? u'[' + options.listen + u']' : options.listen;
    std::printf("fortune-site: serving %lld fortunes at http://%s:%u/fortune.shtml\n", qlonglong(fortunes.count()),
                qPrintable(host), unsigned(site.port()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fortune-site"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FORTUNE_VERSION));
    CommandLine commandLine;
    if (!commandLine.parser.parse(QCoreApplication::arguments()))
        return fail(commandLine.parser.errorText(), kUsage);
    if (commandLine.parser.isSet(QStringLiteral("help")))
        commandLine.parser.showHelp(0);
    if (commandLine.parser.isSet(QStringLiteral("version")))
        commandLine.parser.showVersion();
    QString message;
    const std::optional<Options> options = commandLine.read(message);
    if (!options)
        return fail(message, kUsage);
    return serve(*options);
}
