// fortune-site: serves the fortune page that fortune-collector downloads from,
// with fortunes from one or more files, so that a household, an office or a
// club can share a collection:
//
//   fortune-site --file ~/.local/share/fortune-collector/fortunes.txt
//   fortune-collector --site 127.0.0.1:8080
#include "fortunesite.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <limits>
#include <optional>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {

// Every connection takes a file descriptor: the soft limit goes up to the
// hard one. Returns how many the process may have open.
qint64 raiseDescriptorLimit()
{
#ifdef Q_OS_UNIX
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
#else
    return std::numeric_limits<qint64>::max();
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("fortune-site"));
    QCoreApplication::setApplicationVersion(QStringLiteral(FORTUNE_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves the fortune page that fortune-collector downloads from (GET /fortune.shtml), with\n"
        "one fortune at random from the files given, so that others can download from your collection.\n"
        "Files in fortune-collector's format or the classic fortune format (fortunes ended by a line\n"
        "\"%\") are both read; a file that grows or is replaced is served as it is now, without a\n"
        "restart. Nothing is ever written. Every other path is answered 404."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption fileOption(QStringLiteral("file"),
                                        QStringLiteral("A file of fortunes to serve. May be given more than once."),
                                        QStringLiteral("PATH"));
    const QCommandLineOption listenOption(
        QStringLiteral("listen"),
        QStringLiteral("The address to take connections on: 127.0.0.1 (the default) for this machine only, "
                       "0.0.0.0 for every IPv4 address, :: for every address, or one address of this machine."),
        QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("The TCP port (default 8080; 0: any free port)."),
                                        QStringLiteral("N"), QStringLiteral("8080"));
    const QCommandLineOption connectionsOption(
        QStringLiteral("max-connections"),
        QStringLiteral("Clients served at once (default 512); past that the one that has waited longest without "
                       "asking anything makes room, or the newcomer is answered 503."),
        QStringLiteral("N"), QStringLiteral("512"));
    const QCommandLineOption timeoutOption(
        QStringLiteral("request-timeout"),
        QStringLiteral("Seconds a client has to send its whole request, and to take each answer (default 10)."),
        QStringLiteral("SECONDS"), QStringLiteral("10"));
    const QCommandLineOption randomOption(QStringLiteral("random"),
                                          QStringLiteral("Serve a fortune chosen at random each time (the default)."));
    const QCommandLineOption sequentialOption(QStringLiteral("sequential"),
                                              QStringLiteral("Serve the fortunes in file order, then again."));
    parser.addOptions({fileOption, listenOption, portOption, connectionsOption, timeoutOption, randomOption,
                       sequentialOption});
    parser.process(app);

    // 2 for a command line that makes no sense, 1 for a file or address that fails.
    auto die = [](const QString &message, int status = 2) {
        std::fprintf(stderr, "fortune-site: %s\n", qPrintable(message));
        return status;
    };
    const auto number = [&](const QCommandLineOption &option, uint lowest, uint highest) -> std::optional<uint> {
        bool ok = false;
        const uint value = parser.value(option).toUInt(&ok);
        return ok && value >= lowest && value <= highest ? std::optional(value) : std::nullopt;
    };
    if (!parser.isSet(fileOption))
        return die(QStringLiteral("--file is required (see --help)"));
    const std::optional<uint> port = number(portOption, 0, 65535);
    if (!port)
        return die(QStringLiteral("--port %1 is not a port number").arg(parser.value(portOption)));
    const std::optional<uint> connections = number(connectionsOption, 1, 1'000'000);
    if (!connections)
        return die(QStringLiteral("--max-connections %1 is not a number from 1 to 1000000")
                       .arg(parser.value(connectionsOption)));
    const std::optional<uint> timeout = number(timeoutOption, 1, 3600);
    if (!timeout)
        return die(QStringLiteral("--request-timeout %1 is not a number of seconds from 1 to 3600")
                       .arg(parser.value(timeoutOption)));
    if (parser.isSet(randomOption) && parser.isSet(sequentialOption))
        return die(QStringLiteral("--random and --sequential exclude each other"));
    const QString listen = parser.value(listenOption);
    QHostAddress address;
    if (!address.setAddress(listen))
        return die(QStringLiteral("--listen %1 is not an IP address").arg(listen));
    if (listen == QLatin1String("::"))
        address = QHostAddress::Any; // IPv4 too, as the system does for [::]

    fortune::site::ServedFortunes fortunes(parser.isSet(sequentialOption));
    if (const QString problem = fortunes.load(parser.values(fileOption)); !problem.isEmpty())
        return die(problem, 1);

    fortune::site::SiteLimits limits;
    // Room for the files and the listening socket besides the clients.
    limits.maxConnections = int(std::min<qint64>(*connections, std::max<qint64>(1, raiseDescriptorLimit() - 64)));
    limits.requestTimeout = std::chrono::seconds(*timeout);
    fortune::site::FortuneSite site(fortunes, limits);
    if (!site.listen(address, quint16(*port)))
        return die(QStringLiteral("cannot listen on %1 port %2: %3").arg(listen).arg(*port).arg(site.errorString()), 1);
    const QString host = listen.contains(u':') ? u'[' + listen + u']' : listen;
    std::printf("fortune-site: serving %lld fortunes at http://%s:%u/fortune.shtml\n", qlonglong(fortunes.count()),
                qPrintable(host), unsigned(site.port()));
    std::fflush(stdout);
    return app.exec();
}
