// How long the window's thread goes without getting back to its event loop
// while a big collection loads, downloads go into it and it is searched: a
// 1 ms timer on that thread notes the longest gap between two of its ticks
// (less the millisecond), phase by phase, in wall time (what a user sees,
// the machine's other work included; the idle phase shows that share) and in
// the thread's own CPU time (what the program itself takes). Prints one JSON
// line per phase and two for the whole run, against one frame (16.7 ms, the
// goal; 100 ms is the most a stall may last).
//
//   bench-stall FORTUNE-SITE COLLECTION RELOAD TERM
//
// COLLECTION is copied first (downloads append to it); RELOAD is what
// "Reload" adds. The site serves fortunes the collection does not hold.
#include "dialogs.h"
#include "form1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <map>

namespace {

// Answers the search box with the term and keeps the messages.
class BenchDialogs : public fortune::Dialogs {
public:
    explicit BenchDialogs(QString term) : m_term(std::move(term)) {}
    void showMessage(const QString &text) override { messages << text; }
    QString askText(const QString &, bool *ok, const QString & = {}) override
    {
        *ok = true;
        return m_term;
    }
    bool askYesNo(const QString &) override { return false; }
    QStringList messages;

private:
    QString m_term;
};

// The longest gap between two ticks of a 1 ms timer, by phase.
class Watchdog : public QObject {
public:
    Watchdog()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
        m_clock.start();
        m_timer.start();
    }
    void phase(const char *name)
    {
        tick();
        m_phase = name;
        m_order.push_back(name);
    }
    void tick()
    {
        const qint64 now = m_clock.nsecsElapsed(), cpu = cpuNs();
        const double gapMs = double(now - m_last) / 1e6 - 1.0, cpuMs = double(cpu - m_lastCpu) / 1e6;
        m_last = now;
        m_lastCpu = cpu;
        double &longest = m_longest[m_phase];
        longest = std::max(longest, gapMs);
        if (m_phase.rfind("idle", 0) != 0)
            m_longestCpu = std::max(m_longestCpu, cpuMs);
    }
    const std::vector<std::string> &order() const { return m_order; }
    double longest(const std::string &phase) const { return m_longest.count(phase) ? m_longest.at(phase) : 0.0; }
    double longestCpu() const { return m_longestCpu; }

private:
    static qint64 cpuNs()
    {
        timespec now;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    }
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0, m_lastCpu = cpuNs();
    std::string m_phase = "start";
    std::vector<std::string> m_order;
    std::map<std::string, double> m_longest;
    double m_longestCpu = 0;
};

void report(const std::string &name, double ms)
{
    std::printf("{\"name\":\"%s\",\"value\":%.2f,\"unit\":\"ms\",\"anchor\":\"one frame (goal; 100 ms at most)\","
                "\"anchor_value\":16.7,\"ratio\":%.3f}\n",
                name.c_str(), ms, ms / 16.7);
    std::fflush(stdout);
}

bool fail(const char *what)
{
    std::fprintf(stderr, "bench-stall: %s\n", what);
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5)
        return fail("usage: bench-stall FORTUNE-SITE COLLECTION RELOAD TERM"), 2;
    QTemporaryDir dir;
    const QString collection = dir.filePath(QStringLiteral("fortunes.txt"));
    const QString served = dir.filePath(QStringLiteral("served.txt"));
    if (!QFile::copy(args[2], collection))
        return fail("cannot copy the collection"), 2;
    QFile site(served);
    if (!site.open(QIODevice::WriteOnly))
        return 2;
    for (int i = 0; i < 1000; ++i)
        site.write("A fortune only the site has, number " + QByteArray::number(i)
                   + "\r\n||||||||||##########||||||||||\r\n");
    site.close();

    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(args[1], {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--file"), served,
                           QStringLiteral("--sequential")});
    if (!server.waitForReadyRead(30'000))
        return fail("fortune-site did not start"), 2;
    const QRegularExpressionMatch port =
        QRegularExpression(QStringLiteral(":(\\d+)/")).match(QString::fromUtf8(server.readLine()));
    if (!port.hasMatch())
        return fail("no port from fortune-site"), 2;

    Watchdog watchdog;
    fortune::Form1 window(collection, args[3]);
    auto *dialogs = new BenchDialogs(args[4]);
    window.setDialogs(std::unique_ptr<fortune::Dialogs>(dialogs));
    window.setSite({QStringLiteral("127.0.0.1"), quint16(port.captured(1).toUInt())});
    auto *count = window.findChild<QLabel *>(QStringLiteral("Label1"));
    const auto click = [&](const char *name) { window.findChild<QPushButton *>(QLatin1String(name))->click(); };
    bool loaded = false;
    QObject::connect(&window, &fortune::Form1::loadFinished, [&] { loaded = true; });
    const auto load = [&](const char *phase, const std::function<void()> &start) {
        watchdog.phase(phase);
        loaded = false;
        start();
        return QTest::qWaitFor([&] { return loaded; }, 120'000) || fail("a load did not end");
    };
    const auto download = [&](const char *phase) {
        watchdog.phase(phase);
        const qlonglong before = count->text().toLongLong();
        click("Command3");
        const bool stored = QTest::qWaitFor([&] { return count->text().toLongLong() >= before + 20; }, 120'000);
        click("Command6");
        return stored || fail(qPrintable(QStringLiteral("the downloads were not stored (count %1): %2")
                                             .arg(count->text(), dialogs->messages.join(u'\n'))));
    };
    const auto search = [&](const char *phase) {
        watchdog.phase(phase);
        const qsizetype said = dialogs->messages.size();
        click("Command7");
        return QTest::qWaitFor([&] { return dialogs->messages.size() > said; }, 120'000) || fail("no search message");
    };
    // The floor: the window shown and idle, what the machine itself takes away.
    window.show();
    watchdog.phase("idle (the machine's own share)");
    QTest::qWait(1000);
    const bool ok = load("load at start", [&] { window.Form_Load(); }) && download("download, first store after the load")
                    && search("first search after the load") && load("reload", [&] { click("Command4"); })
                    && download("download after the reload") && search("search after the reload");
    watchdog.phase("end");
    server.kill();
    server.waitForFinished();
    if (!ok)
        return 1;
    if (dialogs->messages.size() != 2)
        return fail(qPrintable(dialogs->messages.join(u'\n'))), 1;
    double overall = 0;
    for (const std::string &phase : watchdog.order()) {
        if (phase == "end")
            continue;
        if (phase.rfind("idle", 0) != 0)
            overall = std::max(overall, watchdog.longest(phase));
        report("window stall, " + phase, watchdog.longest(phase));
    }
    report("window stall, longest over 900,000 fortunes loaded, downloaded into and searched", overall);
    report("window stall, longest in the thread's own CPU time", watchdog.longestCpu());
    return 0;
}
