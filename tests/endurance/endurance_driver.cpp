// Runs the download loop for many cycles against fortune-site and watches this
// process's resident memory and open descriptors:
//
//   endurance_driver SITE_PROGRAM DISTINCT SAME
//
// First DISTINCT cycles against a site serving DISTINCT different fortunes in
// turn (each one new, so each is stored), then SAME cycles against a site that
// serves one fortune over and over (stored once, then known). Prints one JSON
// object per phase and one for the collection at the end, then judges them:
// descriptors and memory flat after warm-up, every cycle run, and the list, the
// file and its separator lines all counting the distinct fortunes served. Exits
// 0 when all of that holds, 1 (saying why on stderr) when not. CTest runs it
// short (endurance_smoke), tools/endurance long.
#include "downloadloop.h"
#include "fortunesreader.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define FORTUNE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FORTUNE_ASAN 1
#endif
#endif

using namespace fortune;

namespace {

// What a phase may grow beyond four times the text it stored (the list and its
// index grow by doubling); anything per cycle beyond that is a leak.
constexpr qint64 kFlatKiB = 256;

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

qint64 openDescriptors()
{
    // The listing itself holds one descriptor while it runs; it is counted
    // every time, so it cancels out.
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
}

int die(const QString &message)
{
    std::fprintf(stderr, "endurance_driver: %s\n", qPrintable(message));
    return 1;
}

QByteArray fortuneText(int i)
{
    // Two lines, distinct by number, of a size like real fortunes.
    return "Endurance fortune " + QByteArray::number(i) + ": the loop keeps going and going,\r\n"
           + "and neither memory nor descriptors may pile up on the way.\r\n";
}

bool writeSiteFile(const QString &path, int first, int count)
{
    QByteArray data;
    for (int i = first; i < first + count; ++i)
        data += fortuneText(i) + kSeparator.toByteArray() + "\r\n";
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.flush();
}

// A fortune-site child process on a free loopback port.
struct Site {
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    quint16 port = 0;
    ~Site()
    {
        process->kill();
        process->waitForFinished();
    }
};

QString startSite(const QString &program, const QString &file, Site &site)
{
    site.process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    site.process->start(program, {"--port", "0", "--file", file, "--sequential"});
    if (!site.process->waitForStarted() || !site.process->waitForReadyRead(30000))
        return QStringLiteral("fortune-site did not start: %1").arg(site.process->errorString());
    const QString banner = QString::fromUtf8(site.process->readLine());
    const QRegularExpressionMatch port = QRegularExpression(QStringLiteral(":(\\d+)/")).match(banner);
    if (!port.hasMatch())
        return QStringLiteral("fortune-site said: %1").arg(banner);
    site.port = quint16(port.captured(1).toUInt());
    return {};
}

struct Phase {
    QString name;
    quint16 port = 0;
    int cycles = 0;
    // Filled while it runs.
    int done = 0;
    int stored = 0;
    qint64 rssStart = 0, rssWarm = 0, rssEnd = 0, rssMax = 0;
    qint64 fdStart = 0, fdWarm = 0, fdEnd = 0, fdMax = 0;
    qint64 storeWarm = 0, storeEnd = 0; // KiB of fortune text the list holds
    double seconds = 0;

    int warmUp() const { return qMax(1, cycles / 10); }
    QJsonObject json() const
    {
        return {{"phase", name},          {"cycles", done},        {"stored", stored},
                {"seconds", seconds},     {"rss_kib_start", rssStart}, {"rss_kib_warm", rssWarm},
                {"rss_kib_end", rssEnd},  {"rss_kib_max", rssMax}, {"fd_start", fdStart},
                {"fd_warm", fdWarm},      {"fd_end", fdEnd},       {"fd_max", fdMax},
                {"warm_up_cycles", warmUp()}, {"store_kib_warm", storeWarm},
                {"store_kib_end", storeEnd}};
    }
};

QStringList problems(const Phase &p)
{
    QStringList out;
    if (p.done != p.cycles)
        out << QStringLiteral("%1 of %2 cycles ran").arg(p.done).arg(p.cycles);
    if (p.fdEnd != p.fdStart || p.fdMax > p.fdStart + 2)
        out << QStringLiteral("descriptors not flat: start %1, max %2, end %3").arg(p.fdStart).arg(p.fdMax).arg(p.fdEnd);
#ifndef FORTUNE_ASAN // the sanitizer keeps freed memory in quarantine
    const qint64 grown = p.rssEnd - p.rssWarm;
    const qint64 stored = p.storeEnd - p.storeWarm;
    if (grown > 4 * stored + kFlatKiB)
        out << QStringLiteral("memory grew %1 KiB after warm-up for %2 KiB of stored text").arg(grown).arg(stored);
#endif
    for (QString &problem : out)
        problem = p.name + QStringLiteral(": ") + problem;
    return out;
}

void print(const QJsonObject &object)
{
    std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4)
        return die(QStringLiteral("usage: endurance_driver SITE_PROGRAM DISTINCT SAME"));
    const QString siteProgram = args[1];
    const int distinct = args[2].toInt();
    const int same = args[3].toInt();
    QTemporaryDir workDir;
    const QDir work(workDir.path());
    if (!workDir.isValid() || distinct < 1 || same < 0)
        return die(QStringLiteral("DISTINCT must be at least 1 and SAME at least 0, with a temporary folder"));

    const QString distinctFile = work.filePath(QStringLiteral("site-distinct.txt"));
    const QString sameFile = work.filePath(QStringLiteral("site-same.txt"));
    // The repeated fortune is none of the distinct ones: it is stored once.
    if (!writeSiteFile(distinctFile, 0, distinct) || !writeSiteFile(sameFile, distinct, 1))
        return die(QStringLiteral("cannot write the site files in %1").arg(work.path()));
    Site distinctSite, sameSite;
    for (auto [file, site] : {std::pair{distinctFile, &distinctSite}, std::pair{sameFile, &sameSite}}) {
        if (const QString problem = startSite(siteProgram, file, *site); !problem.isEmpty())
            return die(problem);
    }

    const QString collection = work.filePath(QStringLiteral("fortunes.txt"));
    QFile::remove(collection);
    FortuneList list;
    DownloadLoop loop(list, collection);

    std::vector<Phase> phases(2);
    phases[0].name = QStringLiteral("distinct");
    phases[0].port = distinctSite.port;
    phases[0].cycles = distinct;
    phases[1].name = QStringLiteral("same");
    phases[1].port = sameSite.port;
    phases[1].cycles = same;
    size_t current = 0;
    QElapsedTimer clock;
    QString failure;
    // A fault that stalls the loop fails the run in seconds rather than hanging it.
    QTimer stall;
    stall.setSingleShot(true);
    stall.setInterval(10'000);
    QObject::connect(&stall, &QTimer::timeout, [&] {
        failure = QStringLiteral("phase %1: no cycle completed for 10 s after cycle %2")
                      .arg(phases[current].name)
                      .arg(phases[current].done);
        QCoreApplication::quit();
    });

    auto sample = [&](qint64 &rss, qint64 &fd) {
        Phase &p = phases[current];
        rss = residentKiB();
        fd = openDescriptors();
        p.rssMax = qMax(p.rssMax, rss);
        p.fdMax = qMax(p.fdMax, fd);
    };
    auto startPhase = [&] {
        while (current < phases.size() && phases[current].cycles == 0)
            ++current;
        if (current == phases.size()) {
            QCoreApplication::quit();
            return;
        }
        Phase &p = phases[current];
        loop.setSite(SiteSettings{QStringLiteral("127.0.0.1"), p.port});
        sample(p.rssStart, p.fdStart);
        clock.start();
        stall.start();
        loop.start();
    };
    QObject::connect(&loop, &DownloadLoop::fortuneStored, [&] { ++phases[current].stored; });
    QObject::connect(&loop, &DownloadLoop::cycleCompleted, [&] {
        Phase &p = phases[current];
        ++p.done;
        stall.start();
        if (p.done == p.warmUp()) {
            sample(p.rssWarm, p.fdWarm);
            p.storeWarm = list.storeBytes() / 1024;
        } else if (p.done % 50 == 0) {
            qint64 rss, fd;
            sample(rss, fd);
        }
        if (p.done < p.cycles)
            return;
        loop.stop();
        if (loop.isRunning()) {
            failure = QStringLiteral("phase %1: the loop still runs after stop()").arg(p.name);
            QCoreApplication::quit();
        }
    });
    QObject::connect(&loop, &DownloadLoop::finished, [&](const QString &message) {
        Phase &p = phases[current];
        p.seconds = double(clock.nsecsElapsed()) / 1e9;
        stall.stop();
        if (!message.isEmpty()) {
            failure = QStringLiteral("phase %1, cycle %2: %3").arg(p.name).arg(p.done + 1).arg(message);
            QCoreApplication::quit();
            return;
        }
        // Measured once the loop is idle: every connection of the phase closed.
        sample(p.rssEnd, p.fdEnd);
        p.storeEnd = list.storeBytes() / 1024;
        print(p.json());
        ++current;
        QTimer::singleShot(0, startPhase);
    });
    QTimer::singleShot(0, startPhase);
    QCoreApplication::exec();
    if (!failure.isEmpty())
        return die(failure);

    FortuneList back;
    const LoadResult loaded = loadFortunesFile(collection, back);
    QFile file(collection);
    const QByteArray closing = "\r\n" + kSeparator.toByteArray() + "\r\n";
    const qsizetype separators = file.open(QIODevice::ReadOnly) ? file.readAll().count(closing) : -1;
    const qint64 served = distinct + (same > 0 ? 1 : 0);
    const qint64 inFile = loaded.outcome == LoadResult::Outcome::Loaded ? qint64(back.count()) : -1;
    print({{"distinct_served", served},
           {"count", qint64(list.count())},
           {"in_file", inFile},
           {"separators", qint64(separators)},
           {"store_kib", qint64(list.storeBytes() / 1024)}});

    QStringList failed = problems(phases[0]) + problems(phases[1]);
    if (phases[0].stored != distinct || (same > 0 && phases[1].stored != 1))
        failed << QStringLiteral("stored %1 new and %2 repeated fortunes").arg(phases[0].stored).arg(phases[1].stored);
    if (list.count() != served || inFile != served || separators != served)
        failed << QStringLiteral("the list, the file and the fortunes served disagree");
    for (const QString &problem : failed)
        std::fprintf(stderr, "endurance_driver: FAILED: %s\n", qPrintable(problem));
    return failed.isEmpty() ? 0 : 1;
}
