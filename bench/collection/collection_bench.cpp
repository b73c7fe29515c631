// Measures the collection library on a big fortunes file; driven by
// bench/parts/10-collection. Every mode prints one JSON object.
//
//   collection_bench idle                      peak memory without loading
//   collection_bench load FILE                 load time, count, peak memory
//   collection_bench search FILE TERM REPEATS  first and repeated search times
//   collection_bench contains FILE LOOKUPS     duplicate-test time vs a scan

#include "fortunesreader.h"

#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/resource.h>

using namespace fortune;

namespace {

double now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Peak resident memory of this program. VmHWM starts afresh at exec, unlike
// getrusage's maximum, which keeps the high-water mark of the process that
// forked us (the benchmark script).
long maxRssKb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (f.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Resident memory now, from the page tables (exact, unlike counters that the
// kernel may update lazily).
long rssNowKb()
{
    QFile f(QStringLiteral("/proc/self/smaps_rollup"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("Rss:"))
            return line.mid(4).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

bool loadOrComplain(const QString &path, FortuneList &list)
{
    const LoadResult result = loadFortunesFile(path, list);
    if (result.outcome != LoadResult::Outcome::Loaded) {
        std::fprintf(stderr, "load failed: %s\n", qPrintable(result.error));
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);

    if (mode == QLatin1String("idle")) {
        std::printf("{\"maxrss_kb\": %ld, \"rss_kb\": %ld}\n", maxRssKb(), rssNowKb());
        return 0;
    }
    if (args.size() < 3)
        return 2;
    const QString path = args.at(2);
    FortuneList list;

    if (mode == QLatin1String("load")) {
        const double t0 = now();
        if (!loadOrComplain(path, list))
            return 1;
        const double seconds = now() - t0;
        std::printf("{\"seconds\": %.6f, \"count\": %lld, \"store_bytes\": %lld, \"maxrss_kb\": %ld, "
                    "\"rss_kb\": %ld}\n",
                    seconds, qlonglong(list.count()), qlonglong(list.storeBytes()), maxRssKb(), rssNowKb());
        return 0;
    }

    if (!loadOrComplain(path, list))
        return 1;

    if (mode == QLatin1String("search")) {
        const QString term = args.value(3);
        const int repeats = std::max(1, args.value(4, QStringLiteral("5")).toInt());
        double t0 = now();
        const qsizetype first = list.countContaining(term);
        const double firstSeconds = now() - t0;
        std::vector<double> times;
        qsizetype hits = first;
        for (int i = 0; i < repeats; ++i) {
            t0 = now();
            hits = list.countContaining(term);
            times.push_back(now() - t0);
            if (hits != first)
                return 1;
        }
        std::printf("{\"first_seconds\": %.6f, \"seconds\": %.6f, \"hits\": %lld}\n", firstSeconds, median(times),
                    qlonglong(hits));
        return 0;
    }

    if (mode == QLatin1String("contains")) {
        const int lookups = std::max(1, args.value(3, QStringLiteral("200000")).toInt());
        // Half the probes are stored fortunes, half are not, spread over the list.
        std::vector<QByteArray> probes;
        probes.reserve(size_t(lookups));
        quint64 seed = 42;
        for (int i = 0; i < lookups; ++i) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            QByteArray text = list.rawAt(qsizetype((seed >> 33) % quint64(list.count()))).toByteArray();
            if (i % 2)
                text += "(not stored)";
            probes.push_back(std::move(text));
        }
        double t0 = now();
        list.contains(QByteArrayView("warm up: builds the index"));
        const double buildSeconds = now() - t0;
        t0 = now();
        qsizetype found = 0;
        for (const QByteArray &p : probes)
            found += list.contains(p) ? 1 : 0;
        const double perLookup = (now() - t0) / lookups;
        if (found != (lookups + 1) / 2) {
            std::fprintf(stderr, "contains found %lld of %d stored probes\n", qlonglong(found), (lookups + 1) / 2);
            return 1;
        }
        // The anchor: the plain scan of every slot, as a list without an index must do.
        const int scans = 20;
        qsizetype scanFound = 0;
        t0 = now();
        for (int s = 0; s < scans; ++s) {
            const QByteArray &p = probes[size_t(s)];
            for (qsizetype i = 0; i < list.count(); ++i) {
                if (list.rawAt(i) == p) {
                    ++scanFound;
                    break;
                }
            }
        }
        const double perScan = (now() - t0) / scans;
        if (scanFound != scans / 2)
            return 1;
        std::printf("{\"seconds\": %.9f, \"scan_seconds\": %.9f, \"build_seconds\": %.6f}\n", perLookup, perScan,
                    buildSeconds);
        return 0;
    }
    return 2;
}
