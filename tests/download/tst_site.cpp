// fortune-site as its users meet it: the files it serves followed as they
// change, every kind of request answered as HTTP has it, ab's crowds, and a
// real download going on while hundreds of connections sit on half a request.
#include "fakesite.h"
#include "fortunesite.h"
#include "sitepage.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <filesystem>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace fortune;

namespace {

// One connection: sends its bytes at once and collects what comes back.
struct Talk {
    QTcpSocket socket;
    QByteArray received;
    bool closed = false;
    bool headOnly;
    Talk(quint16 port, const QByteArray &request) : headOnly(request.startsWith("HEAD"))
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { received += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, &socket, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.write(request);
    }
    // The answers received so far, whole ones only: status and body.
    QList<std::pair<int, QByteArray>> answers() const
    {
        QList<std::pair<int, QByteArray>> out;
        for (qsizetype at = 0;;) {
            const qsizetype end = received.indexOf("\r\n\r\n", at);
            if (end < 0)
                return out;
            const QByteArray head = received.mid(at, end - at);
            const auto length = QRegularExpression(u"Content-Length: (\\d+)"_s).match(QString::fromLatin1(head));
            const qsizetype size = headOnly ? 0 : length.captured(1).toLongLong();
            if (received.size() < end + 4 + size)
                return out;
            out.append({head.mid(9, 3).toInt(), received.mid(end + 4, size)});
            at = end + 4 + size;
        }
    }
};

QByteArray page(const QByteArray &text)
{
    return site::fortunePage(text + "\r\n");
}

} // namespace

class TestSite : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_file = m_dir.filePath(u"site.txt"_s);
    std::unique_ptr<site::ServedFortunes> m_fortunes;
    std::unique_ptr<site::FortuneSite> m_site;

    QString write(const char *name, const QByteArray &data)
    {
        const QString path = m_dir.filePath(QLatin1String(name));
        return testutil::writeFile(path, data) ? path : QString();
    }

    // What the files serve over one round, sorted.
    static QList<QByteArray> round(site::ServedFortunes &served)
    {
        QList<QByteArray> out; // the first pick takes in what changed in the files
        do
            out << served.next().value_or(QByteArrayView()).toByteArray();
        while (out.size() < served.count());
        std::sort(out.begin(), out.end());
        return out;
    }

    // ab against the site; its summary, or why it failed.
    QString ab(const QStringList &options, int requests)
    {
        QProcess ab;
        ab.start(u"ab"_s, options + QStringList{u"-q"_s, u"-l"_s, u"-s"_s, u"20"_s, u"-n"_s, QString::number(requests),
                                               u"http://127.0.0.1:%1/fortune.shtml"_s.arg(m_site->port())});
        QSignalSpy finished(&ab, &QProcess::finished); // an event loop of its own: the site is served at full speed
        if (!finished.wait(60'000))
            ab.kill(), ab.waitForFinished();
        return QString::fromLatin1(ab.readAllStandardOutput() + ab.readAllStandardError());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(testutil::writeFile(m_file, testutil::fortunesFile({"Served"})));
        m_fortunes = std::make_unique<site::ServedFortunes>();
        QCOMPARE(m_fortunes->load({m_file}), QString());
        m_site = std::make_unique<site::FortuneSite>(*m_fortunes, site::SiteLimits{512, 1000ms});
        QVERIFY(m_site->listen(QHostAddress::LocalHost, 0));
    }

    // Files of both formats, followed as they grow, are replaced or go; the
    // fortunes of each are served once a round, empty ones and ones holding NUL
    // never.
    void followsFiles()
    {
        const QByteArray sep = testutil::kSep + "\r\n";
        const QString own = write("own.txt", "one\r\n" + sep + "\r\n" + sep + QByteArray("n\0l\r\n", 5) + sep);
        const QString classic = write("classic", "first\n%\n\n%\nsecond\n");
        site::ServedFortunes served(true);
        QCOMPARE(served.load({own, classic}), QString());
        QCOMPARE(round(served), QList<QByteArray>({"first\r\n", "one\r\n", "second\r\n"}));
        const auto append = [](const QString &path, const QByteArray &bytes) {
            QFile file(path);
            return file.open(QIODevice::Append) && file.write(bytes) == bytes.size();
        };
        // Appended whole records come in; a record still being written waits for its separator.
        QVERIFY(append(own, "two\r\n" + sep + "thr"));
        QCOMPARE(round(served), QList<QByteArray>({"first\r\n", "one\r\n", "second\r\n", "two\r\n"}));
        QVERIFY(append(own, "ee\r\n" + sep));
        QVERIFY(append(classic, "%\nthird\n"));
        QCOMPARE(round(served), QList<QByteArray>({"first\r\n", "one\r\n", "second\r\n", "third\r\n", "three\r\n", "two\r\n"}));
        // Replaced by a rename; then gone, its fortunes still served; then back in the other format.
        std::error_code error;
        std::filesystem::rename(write("new.txt", testutil::fortunesFile({"new"})).toStdString(), own.toStdString(), error);
        QVERIFY(!error);
        QCOMPARE(round(served), QList<QByteArray>({"first\r\n", "new\r\n", "second\r\n", "third\r\n"}));
        QVERIFY(QFile::remove(classic));
        QCOMPARE(round(served), QList<QByteArray>({"first\r\n", "new\r\n", "second\r\n", "third\r\n"}));
        QVERIFY(testutil::writeFile(classic, "back\n"));
        QCOMPARE(round(served), QList<QByteArray>({"back\r\n", "new\r\n"}));
        // Files that cannot be served are named.
        for (const QString &bad : {m_dir.filePath(u"missing"_s), m_dir.path(), write("empty", "\n%\n  \n")})
            QVERIFY2(site::ServedFortunes().load({bad}).contains(QFileInfo(bad).fileName()), qPrintable(bad));
    }

    // Each request, alone or after others on one connection: the statuses in
    // order, and whether the site then closes the connection.
    void requests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("statuses");
        QTest::addColumn<bool>("closes");
        const QByteArray get = "GET /fortune.shtml HTTP/1.1\r\nHost: a\r\n";
        QTest::newRow("kept alive, pipelined") << get + "\r\n" + get + "\r\n" << u"200 200"_s << false;
        // More answers than the site queues for one client at a time.
        QTest::newRow("200 pipelined") << (get + "\r\n").repeated(200) << QStringList(200, u"200"_s).join(u' ') << false;
        QTest::newRow("HTTP/1.0, query") << QByteArray("GET /fortune.shtml?x=1 HTTP/1.0\r\n\r\n") << u"200"_s << true;
        QTest::newRow("HEAD, LF lines") << QByteArray("HEAD /fortune.shtml HTTP/1.1\nHost: a\nConnection: close\n\n") << u"200"_s << true;
        QTest::newRow("absolute form, empty lines first") << QByteArray("\r\n\r\nGET http://a/fortune.shtml HTTP/1.1\r\nHost: a\r\n\r\n") << u"200"_s << false;
        QTest::newRow("other paths") << QByteArray("GET /etc/passwd HTTP/1.1\r\nHost: a\r\n\r\nGET /../fortune.shtml HTTP/1.1\r\nHost: a\r\n\r\n" + get + "\r\n")
                                     << u"404 404 200"_s << false;
        QTest::newRow("POST with a body") << "POST /fortune.shtml HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc" + get + "\r\n" << u"405"_s << true;
        QTest::newRow("POST with a large body") << "POST /fortune.shtml HTTP/1.1\r\nHost: a\r\nContent-Length: 4194304\r\n\r\n" + QByteArray(4 << 20, 'x') << u"405"_s << true;
        QTest::newRow("lower-case method") << QByteArray("get /fortune.shtml HTTP/1.1\r\nHost: a\r\n\r\n") << u"405"_s << false;
        QTest::newRow("no Host") << QByteArray("GET /fortune.shtml HTTP/1.1\r\n\r\n") << u"400"_s << true;
        QTest::newRow("two Hosts") << get + "Host: b\r\n\r\n" << u"400"_s << true;
        QTest::newRow("HTTP/2.0") << QByteArray("GET /fortune.shtml HTTP/2.0\r\n\r\n") << u"505"_s << true;
        QTest::newRow("not HTTP") << QByteArray("hello there\r\n\r\n") << u"400"_s << true;
        QTest::newRow("a line of garbage, then silence") << QByteArray("hello there\r\n") << u"400"_s << true;
        QTest::newRow("garbage, then a megabyte more") << "hello there\r\n" + QByteArray(1 << 20, 'x') << u"400"_s << true;
        QTest::newRow("a TLS handshake") << QByteArray("\x16\x03\x01\x00\xa5\x01\x00\x00\xa1\x03\x03", 11) << u"400"_s << true;
        QTest::newRow("NUL in a field") << get + QByteArray("X: a\0b\r\n\r\n", 10) << u"400"_s << true;
        QTest::newRow("folded field") << get + " more\r\n\r\n" << u"400"_s << true;
        QTest::newRow("bad Content-Length") << get + "Content-Length: -1\r\n\r\n" << u"400"_s << true;
        QTest::newRow("head over 8 KiB") << get + "X: " + QByteArray(9000, 'x') + "\r\n\r\n" << u"431"_s << true;
        QTest::newRow("half a request") << get << u"408"_s << true;
        QTest::newRow("nothing") << QByteArray() << QString() << true;
    }
    void requests()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, statuses);
        QFETCH(bool, closes);
        Talk talk(m_site->port(), request);
        const qsizetype expected = statuses.isEmpty() ? 0 : statuses.count(u' ') + 1;
        // Within the request timeout (1 s) and a bit: every answer, then the close.
        QVERIFY(QTest::qWaitFor([&] { return talk.answers().size() >= expected && (!closes || talk.closed); }, 5000));
        QStringList got;
        for (const auto &[status, body] : talk.answers()) {
            got << QString::number(status);
            if (status == 200 && !request.startsWith("HEAD"))
                QCOMPARE(body, page("Served"));
        }
        QCOMPARE(got.join(u' '), statuses);
        QCOMPARE(talk.closed, closes);
        QCOMPARE(talk.received.contains("Connection: close"), closes && expected > 0);
    }

    // A request sent a byte at a time still has to be whole in time.
    void slowSender()
    {
        Talk talk(m_site->port(), {});
        const QByteArray request = "GET /fortune.shtml HTTP/1.1\r\nHost: a\r\nX: " + QByteArray(100, 'x') + "\r\n\r\n";
        QTimer drip;
        QObject::connect(&drip, &QTimer::timeout, [&, sent = 0]() mutable {
            if (sent < request.size())
                talk.socket.write(request.mid(sent++, 1));
        });
        drip.start(50); // the whole request would take 7 s
        QVERIFY(QTest::qWaitFor([&] { return talk.closed; }, 5000));
        QVERIFY2(talk.received.startsWith("HTTP/1.1 408 "), talk.received.constData());
    }

    // ab's crowds, with and without keep-alive: every request a fortune page.
    void underAb_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::newRow("50 at once") << QStringList{u"-c"_s, u"50"_s};
        QTest::newRow("50 at once, kept alive") << QStringList{u"-c"_s, u"50"_s, u"-k"_s};
    }
    void underAb()
    {
        QFETCH(QStringList, options);
        if (QStandardPaths::findExecutable(u"ab"_s).isEmpty() && !qEnvironmentVariableIsSet("CI"))
            QSKIP("needs ab (Debian package apache2-utils)");
        const QString summary = ab(options, 5000);
        QVERIFY2(summary.contains(QRegularExpression(u"Complete requests:\\s+5000\\b"_s))
                     && summary.contains(QRegularExpression(u"Failed requests:\\s+0\\b"_s)) && !summary.contains(u"Non-2xx"_s),
                 qPrintable(summary));
    }

    // Hundreds of connections holding half a request while the collector
    // downloads: within the cap they wait their time out (408); past it the
    // one that has waited longest makes room; when none may, the newcomer
    // gets 503, and the collector waits for a slot. The site goes on serving
    // either way.
    void crowdOfIdlers_data()
    {
        QTest::addColumn<int>("cap");
        QTest::addColumn<int>("yieldAfterMs");
        QTest::addColumn<int>("idlers");
        QTest::addColumn<QString>("download"); // "" when it downloads at once, otherwise the wait it tells
        QTest::newRow("within the cap") << 512 << 60'000 << 300 << QString();
        QTest::newRow("past the cap, the longest waiting make room") << 100 << 0 << 300 << QString();
        QTest::newRow("past the cap, none may make room") << 20 << 60'000 << 20 << u"is busy: trying again in 1 s."_s;
    }
    void crowdOfIdlers()
    {
        QFETCH(int, cap);
        QFETCH(int, yieldAfterMs);
        QFETCH(int, idlers);
        QFETCH(QString, download);
        site::FortuneSite crowded(*m_fortunes, {cap, 1000ms, 8192, std::chrono::milliseconds(yieldAfterMs)});
        QVERIFY(crowded.listen(QHostAddress::LocalHost, 0));
        std::vector<std::unique_ptr<Talk>> idle;
        for (int i = 0; i < idlers; ++i)
            idle.push_back(std::make_unique<Talk>(crowded.port(), "GET /fortune.shtml HTTP/1.1\r\nHost: a\r\n"));
        QVERIFY(QTest::qWaitFor([&] { return crowded.connections() == std::min(cap, idlers); }, 10'000));
        LoopRun run(crowded.port());
        QSignalSpy cycles(&run.loop, &DownloadLoop::cycleCompleted);
        QSignalSpy finished(&run.loop, &DownloadLoop::finished);
        QSignalSpy busy(&run.loop, &DownloadLoop::siteBusy);
        run.loop.start();
        QVERIFY(QTest::qWaitFor([&] { return cycles.size() >= 20 || !finished.isEmpty(); }, 10'000));
        run.loop.stop();
        QVERIFY2(cycles.size() >= 20, qPrintable(finished.value(0).value(0).toString()));
        QVERIFY2(download.isEmpty() ? busy.isEmpty() : busy.value(0).value(0).toString().endsWith(download),
                 qPrintable(busy.value(0).value(0).toString()));
        // Every idler is told 408 and let go, however it lost its slot.
        QVERIFY(QTest::qWaitFor([&] {
            return crowded.connections() == 0
                   && std::all_of(idle.begin(), idle.end(), [](const auto &talk) { return talk->closed; });
        }, 10'000));
        for (const auto &talk : idle)
            QVERIFY2(talk->received.startsWith("HTTP/1.1 408 "), talk->received.constData());
    }
};

QTEST_GUILESS_MAIN(TestSite)
#include "tst_site.moc"
