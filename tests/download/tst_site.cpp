// fortune-site as its users meet it: the files it serves followed as they
// change, requests answered on real connections (what each request gets is
// tst_httprequest's), ab's crowds, a real download going on while hundreds of
// connections sit on half a request, never close or pipeline without reading,
// and the program's exit statuses.
#include "fakesite.h"
#include "fortunesite.h"
#include "responsereader.h"
#include "sitepage.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QScopeGuard>
#include <QLoggingCategory>

#include <filesystem>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// A client that sends a short request and never closes: it reads what comes,
// sees the site end the connection, and stays.
struct Idler {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QByteArray received;
    bool ended = false; // the site ended the connection
    Idler(quint16 port, const QByteArray &request)
    {
        sockaddr_in site{};
        site.sin_family = AF_INET;
        site.sin_port = htons(port);
        site.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // The system completes a connection to a listening socket by itself.
        if (::connect(fd, reinterpret_cast<sockaddr *>(&site), sizeof site) != 0
            || ::send(fd, request.data(), size_t(request.size()), MSG_NOSIGNAL) != request.size())
            ended = true;
    }
    ~Idler() { ::close(fd); }
    // Takes what came; true once the site has ended the connection.
    bool poll()
    {
        char piece[4096];
        ssize_t n;
        while (!ended && (n = ::recv(fd, piece, sizeof piece, MSG_DONTWAIT)) != 0) {
            if (n < 0)
                return ended = errno != EAGAIN && errno != EWOULDBLOCK;
            received.append(piece, n);
        }
        return ended = true;
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
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"own.txt: 1 fortunes left out.*1 holding NUL"_s));
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
        // Rewritten in place: caught half-way, only whole records (none) and
        // never as a classic file; larger, with its separator where it was.
        QVERIFY(testutil::writeFile(own, "N1\r\n||"));
        QCOMPARE(round(served), QList<QByteArray>({"back\r\n"}));
        QVERIFY(testutil::writeFile(own, testutil::fortunesFile({"old"})));
        QCOMPARE(round(served), QList<QByteArray>({"back\r\n", "old\r\n"}));
        QVERIFY(testutil::writeFile(own, testutil::fortunesFile({"new", "two"})));
        QCOMPARE(round(served), QList<QByteArray>({"back\r\n", "new\r\n", "two\r\n"}));
        QVERIFY(testutil::writeFile(own, testutil::fortunesFile({"NEW", "TWO"}))); // as large, a moment later
        QFile rewritten(own);
        QVERIFY(rewritten.open(QIODevice::ReadWrite));
        QVERIFY(rewritten.setFileTime(QDateTime::currentDateTime().addSecs(10), QFileDevice::FileModificationTime));
        rewritten.close();
        QCOMPARE(round(served), QList<QByteArray>({"NEW\r\n", "TWO\r\n", "back\r\n"}));
        // Files that cannot be served are named.
        for (const QString &bad : {m_dir.filePath(u"missing"_s), m_dir.path(), write("empty", "\n%\n  \n")})
            QVERIFY2(site::ServedFortunes().load({bad}).contains(QFileInfo(bad).fileName()), qPrintable(bad));
    }

    // Requests on a connection: the statuses in order, and whether the site
    // then closes it (after answering, without a reset over what it did not read).
    void requests_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("statuses");
        QTest::addColumn<bool>("closes");
        const QByteArray get = "GET /fortune.shtml HTTP/1.1\r\nHost: a\r\n";
        QTest::newRow("kept alive, pipelined") << get + "\r\n" + get + "\r\n" << u"200 200"_s << false;
        // More answers than the site queues for one client at a time.
        QTest::newRow("200 pipelined") << (get + "\r\n").repeated(200) << QStringList(200, u"200"_s).join(u' ') << false;
        QTest::newRow("HTTP/1.0") << QByteArray("GET /fortune.shtml HTTP/1.0\r\n\r\n") << u"200"_s << true;
        QTest::newRow("HEAD") << QByteArray("HEAD /fortune.shtml HTTP/1.1\nHost: a\nConnection: close\n\n") << u"200"_s << true;
        QTest::newRow("another path") << QByteArray(get).replace("/fortune", "/other") + "\r\n" << u"404"_s << false;
        QTest::newRow("POST with a large body") << "POST /fortune.shtml HTTP/1.1\r\nHost: a\r\nContent-Length: 4194304\r\n\r\n" + QByteArray(4 << 20, 'x') << u"405"_s << true;
        QTest::newRow("garbage, then a megabyte more") << "hello there\r\n" + QByteArray(1 << 20, 'x') << u"400"_s << true;
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
        // Within the request timeout (1 s) and a while: every answer, then the close.
        QVERIFY(QTest::qWaitFor([&] { return talk.answers().size() >= expected && (!closes || talk.closed); }, 10'000));
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

    // Hundreds of connections while the collector downloads. Half requests:
    // within the cap they wait their time out (408); past it the one that has
    // waited longest makes room; when none may, the newcomer gets 503, and the
    // collector waits for a place. Connections that had their last answer, or
    // were refused, count no more whether or not they close. Each idler is let
    // go, and each refused, evicted or timed out client is one line in the
    // clients' log.
    void crowd_data()
    {
        QTest::addColumn<int>("cap");
        QTest::addColumn<int>("yieldAfterMs");
        QTest::addColumn<int>("idlers");
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer"); // what each idler gets
        QTest::addColumn<QString>("download");  // "" when it downloads at once, otherwise the wait it tells
        QTest::addColumn<int>("lines");         // in the clients' log, at least
        const QByteArray half = "GET /fortune.shtml HTTP/1.1\r\nHost: a\r\n", timedOut = "HTTP/1.1 408 ";
        QTest::newRow("within the cap") << 512 << 60'000 << 300 << half << timedOut << QString() << 300;
        QTest::newRow("past the cap, the longest waiting make room") << 100 << 0 << 300 << half << timedOut << QString() << 300;
        QTest::newRow("past the cap, none may make room") << 20 << 60'000 << 20 << half << timedOut << u"is busy: trying again in 1 s."_s << 21;
        QTest::newRow("answered, never closed") << 20 << 60'000 << 40 << QByteArray("GET /fortune.shtml HTTP/1.0\r\n\r\n")
                                                << QByteArray("HTTP/1.1 200 ") << QString() << 0;
        QTest::newRow("garbage, never closed") << 20 << 60'000 << 40 << QByteArray("hello\r\n")
                                               << QByteArray("HTTP/1.1 400 ") << QString() << 40;
    }
    void crowd()
    {
        QFETCH(int, cap);
        QFETCH(int, yieldAfterMs);
        QFETCH(int, idlers);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QFETCH(QString, download);
        QFETCH(int, lines);
        static int logged;
        logged = 0;
        QLoggingCategory::setFilterRules(u"fortune.site.clients.info=true"_s);
        const QtMessageHandler before = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &context, const QString &) {
            logged += qstrcmp(context.category, "fortune.site.clients") == 0;
        });
        const auto restore = qScopeGuard([before] {
            qInstallMessageHandler(before);
            QLoggingCategory::setFilterRules({});
        });
        // The idlers hold their places for 3 s: on a busy machine too, the
        // collector's first try comes while they still do.
        site::FortuneSite crowded(*m_fortunes, {cap, 3000ms, 8192, std::chrono::milliseconds(yieldAfterMs)});
        QVERIFY(crowded.listen(QHostAddress::LocalHost, 0));
        std::vector<std::unique_ptr<Idler>> idle;
        // Every idler counts, or had its answer, however slowly they came (a
        // site that counts answered ones too is caught below, not waited for).
        const auto settled = [&] {
            const auto answered = std::count_if(idle.begin(), idle.end(), [](const auto &idler) {
                return idler->poll(), !idler->received.isEmpty();
            });
            return crowded.connections() + answered >= qsizetype(idle.size());
        };
        for (int i = 0; i < idlers; ++i) { // each one in, or answered, before the next
            idle.emplace_back(std::make_unique<Idler>(crowded.port(), request));
            QVERIFY(QTest::qWaitFor(settled, 10'000));
        }
        LoopRun run(crowded.port());
        QSignalSpy cycles(&run.loop, &DownloadLoop::cycleCompleted);
        QSignalSpy finished(&run.loop, &DownloadLoop::finished);
        QSignalSpy busy(&run.loop, &DownloadLoop::siteBusy);
        run.loop.start();
        QVERIFY(QTest::qWaitFor([&] { return cycles.size() >= 20 || !finished.isEmpty(); }, 30'000));
        run.loop.stop();
        QVERIFY2(cycles.size() >= 20, qPrintable(finished.value(0).value(0).toString()));
        QVERIFY2(download.isEmpty() ? busy.isEmpty() : busy.value(0).value(0).toString().endsWith(download),
                 qPrintable(busy.value(0).value(0).toString()));
        QVERIFY(QTest::qWaitFor([&] {
            return std::all_of(idle.begin(), idle.end(), [](const auto &idler) { return idler->poll(); })
                   && crowded.connections() == 0;
        }, 20'000));
        for (const auto &idler : idle)
            QVERIFY2(idler->received.startsWith(answer), idler->received.constData());
        QVERIFY2(logged >= lines, qPrintable(QString::number(logged)));
    }

    // A client that ends its sending after its requests still gets every
    // answer, then the close.
    void halfClose()
    {
        Talk talk(m_site->port(), QByteArray("GET /fortune.shtml HTTP/1.1\r\nHost: a\r\n\r\n").repeated(1000));
        QVERIFY(QTest::qWaitFor([&] { return talk.socket.bytesToWrite() == 0; }, 10'000));
        ::shutdown(int(talk.socket.socketDescriptor()), SHUT_WR);
        QVERIFY(QTest::qWaitFor([&] { return talk.closed; }, 10'000));
        QCOMPARE(talk.answers().size(), 1000);
    }

    // A client that pipelines faster than it takes its answers is held
    // back: past a bound, the site reads none of its requests until the
    // answers move; then it answers them all.
    void backPressure()
    {
        site::ServedFortunes large; // a few hundred pages fill the system's buffers
        const QByteArray fortune(64 * 1024, 'x');
        QCOMPARE(large.load({write("large.txt", testutil::fortunesFile({fortune}))}), QString());
        site::FortuneSite site(large);
        QVERIFY(site.listen(QHostAddress::LocalHost, 0));
        QTcpSocket greedy;
        greedy.setReadBufferSize(1); // it takes nothing
        greedy.connectToHost(QHostAddress::LocalHost, site.port());
        constexpr int requests = 1000;
        greedy.write(QByteArray("GET /fortune.shtml HTTP/1.1\r\nHost: a\r\n\r\n").repeated(requests));
        QVERIFY(QTest::qWaitFor([&] { return site.bytesHeld() > 64 * 1024; }, 10'000));
        QVERIFY2(site.bytesHeld() < 1024 * 1024, qPrintable(QString::number(site.bytesHeld())));
        greedy.setReadBufferSize(0);
        qsizetype received = 0;
        const qsizetype all = requests * site::okResponse(site::fortunePage(fortune + "\r\n"), true).size();
        QVERIFY(QTest::qWaitFor([&] { return (received += greedy.readAll().size()) >= all; }, 20'000));
        QCOMPARE(received, all);
    }

    // Fortunes whose answer a collector refuses are not served and are told
    // in one warning; a large page is built once for everyone who gets it.
    void largeFortunes()
    {
        const auto answerSize = [](qsizetype n) {
            return site::okResponse(site::fortunePage(QByteArray(n, 'x') + "\r\n"), true).size();
        };
        const qsizetype near = ResponseReader::kMaxResponse - 1000;
        const QByteArray largest(near + ResponseReader::kMaxResponse - answerSize(near), 'x');
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"1 fortunes left out.*0 holding NUL bytes, 1 larger than 8 MiB"_s));
        site::ServedFortunes served(true);
        QCOMPARE(served.load({write("large.txt", testutil::fortunesFile({largest + 'x', largest, "small"}))}), QString());
        QCOMPARE(served.count(), 2);
        const std::optional<QByteArray> first = served.nextPage(), small = served.nextPage(), again = served.nextPage();
        QCOMPARE(site::okResponse(*first, true).size(), ResponseReader::kMaxResponse);
        QVERIFY(first->constData() == again->constData());
        QVERIFY(small->size() < 1024);
    }

    // The program: its exit statuses, and SIGTERM while an answer is under
    // way, which still goes out whole.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::newRow("unknown option") << QStringList{u"--bogus"_s} << 2;
        QTest::newRow("no file") << QStringList{u"--port"_s, u"0"_s} << 2;
        QTest::newRow("not a port") << QStringList{u"--port"_s, u"abc"_s, u"--file"_s, m_file} << 2;
        QTest::newRow("a file that is not there") << QStringList{u"--file"_s, m_dir.filePath(u"missing"_s)} << 1;
        QTest::newRow("--help") << QStringList{u"--help"_s} << 0;
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QCOMPARE(testutil::run(QStringLiteral(FORTUNE_SITE), arguments, QProcessEnvironment::systemEnvironment(), 20'000).code, status);
    }
    void stopsOnSignal()
    {
        const QByteArray fortune(6 << 20, 'b'); // more than the system's buffers hold
        QProcess program;
        program.start(QStringLiteral(FORTUNE_SITE), {u"--port"_s, u"0"_s, u"--file"_s, write("big.txt", testutil::fortunesFile({fortune}))});
        QVERIFY(program.waitForReadyRead(20'000));
        const QString port = QRegularExpression(u":(\\d+)/"_s).match(QString::fromUtf8(program.readLine())).captured(1);
        QTcpSocket client;
        client.setReadBufferSize(64 * 1024);
        client.connectToHost(QHostAddress::LocalHost, port.toUShort());
        client.write("GET /fortune.shtml HTTP/1.0\r\n\r\n");
        QVERIFY(QTest::qWaitFor([&] { return client.bytesAvailable() > 0; }, 10'000));
        program.terminate();
        client.setReadBufferSize(0);
        QByteArray got;
        QVERIFY(QTest::qWaitFor([&] {
            got += client.readAll();
            return client.state() == QAbstractSocket::UnconnectedState;
        }, 10'000));
        got += client.readAll();
        QVERIFY(program.waitForFinished(10'000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(got == site::okResponse(site::fortunePage(fortune + "\r\n"), false));
    }
};

QTEST_GUILESS_MAIN(TestSite)
#include "tst_site.moc"
