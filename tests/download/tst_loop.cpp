// The download loop against a scripted web site on 127.0.0.1: what it stores,
// how each broken or hostile server ends it, the request on the wire, and stop.
#include "fakesite.h"
#include "singlestep.h"
#include "sitepage.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

using namespace fortune;
using Records = QList<QByteArray>;
Q_DECLARE_METATYPE(Reply)

namespace {

constexpr int kWait = 10'000; // any wait of a test; the loop's own are 1 to 5 s here

// The page request, exactly as it goes on the wire.
const QByteArray kRequest =
    "GET /fortune.shtml HTTP/1.1\r\nAccept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-"
    "shockwave-flash, application/vnd.ms-excel, application/msword, application/vnd.ms-powerpoint, */*\r\nHost: "
    "www.127.0.0.1\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; .NET CLR 1.1.4322)\r\n\r\n";

Reply whole(QByteArray response, Reply::End end = Reply::End::KeepOpen)
{
    return Reply{{std::move(response)}, 0, end};
}

Reply page(QByteArrayView html, QByteArrayView contentType = "text/html", QByteArrayView before = {})
{
    return whole(site::okResponse(before.toByteArray() + site::pageWithHtml(html, {}), true, contentType));
}

} // namespace

class TestLoop : public QObject {
    Q_OBJECT
private slots:
    void loop_data()
    {
        QTest::addColumn<QList<Reply>>("replies"); // none: nobody listens; dripMs -1: no connection completes
        QTest::addColumn<QByteArray>("before");    // the fortunes file at start
        QTest::addColumn<Records>("after");        // the list and the file at the end
        QTest::addColumn<QString>("message");      // empty: goes on until stopped; %1 is the port
        QTest::addColumn<int>("leftOut");          // different fortunes left out
        auto row = [](const char *name, const QList<Reply> &replies, const Records &after, const char *message = "",
                      const QByteArray &before = {}, int leftOut = 0) {
            QTest::newRow(name) << replies << before << after << QString::fromUtf8(message) << leftOut;
        };
        const QByteArray a = "Fortune A\r\n", b = "Line one\r\nLine two\r\n", ok = "HTTP/1.1 200 OK\r\n";
        const Reply pa = page("Fortune A"), pb = page("Line one<BR>Line two");
        // Ending "</html>" CR LF, this page fails the end-of-page test: only the framing ends it.
        const QByteArray pageB = site::pageWithHtml("Line one<BR>Line two").chopped(1) + "\r\n";
        // Chunked, in pieces 0.3 s apart that last longer than a connection may take.
        Reply slow{{ok + "Transfer-Encoding: chunked\r\n\r\n" + QByteArray::number(pageB.size(), 16) + "\r\n"}, 300};
        for (qsizetype at = 0; at < pageB.size(); at += pageB.size() / 7)
            slow.pieces << pageB.mid(at, pageB.size() / 7);
        slow.pieces << "\r\n0\r\n\r\n";

        row("content-length, keep-alive", {pa, pb}, {a, b});
        row("chunked, slow, split inside the fortune", {pa, slow}, {a, b});
        row("close-delimited", {pa, whole(ok + "\r\n" + pageB, Reply::End::Close)}, {a, b});
        row("known from an earlier run", {pa, pb}, {a, b}, "", testutil::fortunesFile({"Fortune A"}));
        row("empty fortune is not stored", {page(""), pa}, {a});
        row("Shift_JIS", {page("\x93\xfa\x96\x7b", "text/html; charset=Shift_JIS")}, {"\xe6\x97\xa5\xe6\x9c\xac\r\n"});
        row("NUL bytes outside the fortune", {page("Fortune A", "text/html", QByteArray(3, '\0'))}, {a});
        // The file would split it in two: left out, counted once however often it comes, and the loop goes on.
        const Reply split = page("One<BR>" + testutil::kSep + "<BR>Two"), split2 = page(testutil::kSep + "<BR>x");
        row("separator line: left out, the loop goes on", {split, pa}, {a}, "", {}, 1);
        row("separator lines, then a failure", {split, split2, split, Reply{{}, 0, Reply::End::Close}}, {},
            "No answer from 127.0.0.1:%1: ", {}, 2);

        row("page that never ends", {pa, whole(ok + "Content-Length: 900\r\n\r\n" + pageB)}, {a},
            "The page from 127.0.0.1:%1 did not finish: no new data for 1 s.");
        row("length that never comes, closed", {pa, whole(ok + "Content-Length: 900\r\n\r\n" + pageB, Reply::End::Close)},
            {a}, "The page from 127.0.0.1:%1 did not finish: the connection was closed ");
        row("no answer", {Reply{{}, 0, Reply::End::Silent}}, {}, "No answer from 127.0.0.1:%1: nothing came within 1 s of the request.");
        row("closed without an answer", {Reply{{}, 0, Reply::End::Close}}, {}, "No answer from 127.0.0.1:%1: ");
        row("drip that never ends", {Reply{Records{ok + "\r\n"} + Records(40, "<p>"), 200}}, {},
            "The page from 127.0.0.1:%1 did not finish within 5 s.");
        row("no table marker", {whole(site::okResponse("<p>x</p>" + QByteArray(200, ' ') + "</p></html>\n", true))}, {},
            "The page from 127.0.0.1:%1 held no fortune.");
        row("busy, without saying when", {whole("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n")}, {},
            "The page from 127.0.0.1:%1 held no fortune: the server answered HTTP status 503 Service Unavailable.");
        row("another error, with a time to come back", {whole("HTTP/1.1 500 Oops\r\nRetry-After: 1\r\n\r\n")}, {},
            "The page from 127.0.0.1:%1 held no fortune: the server answered HTTP status 500 Oops.");
        row("HTTP error status", {whole("HTTP/1.1 404 Not Found\r\nContent-Length: 10\r\n\r\n0123456789")}, {},
            "The page from 127.0.0.1:%1 held no fortune: the server answered HTTP status 404 Not Found.");
        row("oversized page", {Reply{Records{ok + "\r\n"} + Records(9, QByteArray(1 << 20, 'x')), 0, Reply::End::Close}},
            {}, "The page from 127.0.0.1:%1 is too large: ");
        row("gzip", {whole(ok + "Content-Encoding: gzip\r\n\r\n\x1f\x8b\x08")}, {},
            "The answer from 127.0.0.1:%1 is not a usable web page: it comes with \"Content-Encoding: gzip\", an "
            "encoding the request did not ask for.");
        row("NUL in the fortune", {page(QByteArray("A\0B", 3))}, {},
            "The fortune on the page from 127.0.0.1:%1 cannot be read: it holds NUL bytes");
        row("nobody listens", {}, {}, "Could not connect to 127.0.0.1:%1: Connection refused.");
        row("no connection", {Reply{{}, -1}}, {}, "Could not connect to 127.0.0.1:%1: no connection within 1.5 s.");
    }
    void loop()
    {
        QFETCH(QList<Reply>, replies);
        QFETCH(QByteArray, before);
        QFETCH(Records, after);
        QFETCH(QString, message);
        QFETCH(int, leftOut);
        auto site = std::make_unique<FakeSite>();
        site->setReplies(replies);
        const quint16 port = site->port();
        std::vector<std::unique_ptr<QTcpSocket>> queue; // a listener's queue, full: no further connection completes
        if (replies.isEmpty()) {
            site.reset();
        } else if (replies[0].dripMs < 0) {
            site->stopAccepting();
            for (int i = 0; i < 64; ++i)
                queue.emplace_back(new QTcpSocket)->connectToHost(QHostAddress::LocalHost, port);
        }
        LoopRun run(port, before);
        const qsizetype known = run.list.count();
        QSignalSpy cycles(&run.loop, &DownloadLoop::cycleCompleted);
        QSignalSpy finished(&run.loop, &DownloadLoop::finished);
        QSignalSpy stored(&run.loop, &DownloadLoop::fortuneStored);

        run.loop.start();
        // Twice round the replies: the second round is all known fortunes.
        QVERIFY(QTest::qWaitFor(
            [&] { return !finished.isEmpty()
                          || (message.isEmpty() && cycles.count() >= 2 * replies.size()); },
            kWait));
        run.loop.stop();
        QCOMPARE(finished.count(), 1);
        const QString said = finished.at(0).at(0).toString();
        const QString expected = message.contains(u'%') ? message.arg(port) : message;
        QVERIFY2(expected.isEmpty() == said.isEmpty() && said.contains(expected), qPrintable(said));
        QCOMPARE(run.loop.siteFailed(), !said.isEmpty()); // each a failure of the site: the window offers another
        QVERIFY(!run.loop.isRunning() && !run.loop.FetchPending());
        QCOMPARE(testutil::recordsOf(run.path), after);
        QCOMPARE(run.list.count(), after.size());
        QCOMPARE(run.loop.leftOut(), leftOut);
        // The count rises by one with each stored fortune.
        QCOMPARE(stored.count(), after.size() - known);
        QCOMPARE(stored.isEmpty() ? known : stored.last().at(0).value<qsizetype>(), after.size());
        // A fresh connection for every cycle, carrying one page request and nothing else.
        for (int i = 0; site && i < site->connections(); ++i)
            QVERIFY(site->received(i).isEmpty() || site->received(i) == kRequest);
        QVERIFY(!site || site->connections() >= cycles.count());
    }

    // A site that is busy for a moment is asked again after the wait it names,
    // kept between 1 and 5 s; one busy for too long ends the loop; stop ends a
    // wait at once.
    void busy_data()
    {
        QTest::addColumn<QByteArray>("retryAfter");
        QTest::addColumn<int>("busyTimes"); // busy answers before the page comes; -1: busy for good
        QTest::addColumn<QString>("wait");  // as the first wait is announced
        QTest::newRow("a second, twice") << QByteArray("1") << 2 << "1 s";
        QTest::newRow("an hour: stopped while waiting") << QByteArray("3600") << 1 << "5 s";
        QTest::newRow("a date gone by") << QByteArray("Wed, 21 Oct 2015 07:28:00 GMT") << 1 << "1 s";
        QTest::newRow("busy for good") << QByteArray("0") << -1 << "1 s";
    }
    void busy()
    {
        QFETCH(QByteArray, retryAfter);
        QFETCH(int, busyTimes);
        QFETCH(QString, wait);
        FakeSite site;
        const QByteArray busyAnswer = "HTTP/1.1 503 Service Unavailable\r\nRetry-After: " + retryAfter + "\r\n\r\n";
        QList<Reply> replies(std::max(busyTimes, 1), whole(busyAnswer));
        if (busyTimes >= 0)
            replies << page("Fortune A");
        site.setReplies(replies);
        LoopRun run(site.port());
        DownloadTimeouts timeouts = run.loop.timeouts();
        timeouts.busy = std::chrono::milliseconds(busyTimes < 0 ? 1500 : 60'000);
        run.loop.setTimeouts(timeouts);
        QSignalSpy busy(&run.loop, &DownloadLoop::siteBusy);
        QSignalSpy finished(&run.loop, &DownloadLoop::finished);
        run.loop.start();
        QVERIFY(busy.wait(kWait));
        QCOMPARE(busy.at(0).at(0).toString(),
                 QStringLiteral("127.0.0.1:%1 is busy: trying again in %2.").arg(site.port()).arg(wait));
        QVERIFY(run.loop.isRunning() && !run.loop.FetchPending());
        const bool stopWaiting = wait == "5 s";
        if (!stopWaiting)
            QVERIFY(QTest::qWaitFor([&] { return run.list.count() > 0 || !finished.isEmpty(); }, kWait));
        run.loop.stop();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(busy.last().at(0).toString(), QString());
        QCOMPARE(finished.at(0).at(0).toString(),
                 busyTimes < 0 ? QStringLiteral("127.0.0.1:%1 stayed busy for 1.5 s: the server answered HTTP "
                                                "status 503 Service Unavailable.").arg(site.port())
                               : QString());
        const bool stored = busyTimes > 0 && !stopWaiting;
        QCOMPARE(testutil::recordsOf(run.path), stored ? Records{"Fortune A\r\n"} : Records{});
        if (stored)
            QCOMPARE(busy.count(), 2 * busyTimes); // each wait announced, and its end
    }

    // A site chosen while a cycle is under way is the next cycle's: the one
    // under way keeps its own connection, request and messages.
    void siteChosenDuringACycle()
    {
        FakeSite site;
        site.setReplies({page("Fortune A")});
        QTcpServer closed; // a port nobody listens on any more
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 nobody = closed.serverPort();
        closed.close();
        LoopRun run(site.port());
        QSignalSpy finished(&run.loop, &DownloadLoop::finished);
        run.loop.start();
        run.loop.setSite({QStringLiteral("localhost"), nobody});
        QVERIFY(QTest::qWaitFor([&] { return !finished.isEmpty(); }, kWait));
        QCOMPARE(site.received(0), kRequest);
        QCOMPARE(testutil::recordsOf(run.path), Records{"Fortune A\r\n"});
        const QString said = finished.at(0).at(0).toString();
        QVERIFY2(said.startsWith(QStringLiteral("Could not connect to localhost:%1").arg(nobody)), qPrintable(said));
    }

    // The hidden buttons' steps: connect, send the page request, the answer in
    // the loop's receive buffer; refused while the loop runs.
    void singleSteps()
    {
        FakeSite site;
        site.setReplies({page("Fortune A")});
        LoopRun run(site.port());
        SingleStep step(run.loop);
        QSignalSpy connected(&step, &SingleStep::connectFinished);
        QVERIFY(!step.sendRequest().ok()); // no connection yet
        step.connectStep();
        QCOMPARE(run.loop.receiveBuffer(), "Connecting...");
        QVERIFY(connected.wait(kWait));
        QCOMPARE(connected.at(0).at(0).toString(), QString());
        QCOMPARE(run.loop.receiveBuffer(), "Connected...");
        QVERIFY(step.sendRequest().ok());
        QVERIFY(QTest::qWaitFor([&] { return run.loop.receiveBuffer().endsWith("</html>\n"); }, kWait));
        QVERIFY(run.loop.receiveBuffer().startsWith("HTTP/1.1 200 OK"));
        QCOMPARE(site.received(0), kRequest);
        run.loop.start();
        step.connectStep();
        QCOMPARE(connected.last().at(0).toString(), QStringLiteral("A download is running."));
        QVERIFY(!step.sendRequest().ok());
        run.loop.stop();
    }

    void stop_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<int>("when"); // 0: at once, 1: once the site has the request, 2: after a store
        QTest::addColumn<int>("stored");
        QTest::newRow("while connecting") << Reply{{}, 0, Reply::End::Silent} << 0 << 0;
        QTest::newRow("while waiting for the page") << Reply{{}, 0, Reply::End::Silent} << 1 << 0;
        QTest::newRow("right after a store") << page("Fortune A") << 2 << 1;
    }
    // Stop leaves the loop idle at once, whatever it waits for; a start while it
    // runs changes nothing, and a stop from before does not hold a new start back.
    void stop()
    {
        QFETCH(Reply, reply);
        QFETCH(int, when);
        QFETCH(int, stored);
        FakeSite site;
        site.setReplies({reply});
        LoopRun run(site.port());
        QSignalSpy finished(&run.loop, &DownloadLoop::finished);
        auto context = std::make_unique<QObject>();
        auto stopTwice = [&] {
            const bool pending = run.loop.FetchPending();
            run.loop.start();
            QCOMPARE(run.loop.FetchPending(), pending);
            run.loop.stop();
            run.loop.stop();
        };
        if (when == 1)
            connect(&site, &FakeSite::requestReceived, context.get(), stopTwice);
        if (when == 2)
            connect(&run.loop, &DownloadLoop::fortuneStored, context.get(), stopTwice);
        run.loop.start();
        if (when == 0)
            stopTwice();
        QVERIFY(QTest::qWaitFor([&] { return !finished.isEmpty(); }, kWait));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toString(), QString());
        QVERIFY(!run.loop.isRunning() && !run.loop.FetchPending() && run.loop.StopRequested());
        QCOMPARE(run.list.count(), stored);
        QCOMPARE(testutil::recordsOf(run.path).size(), stored);

        context.reset();
        site.setReplies({page("Fresh")});
        QSignalSpy storing(&run.loop, &DownloadLoop::fortuneStored);
        run.loop.start();
        QVERIFY(storing.wait(kWait));
        run.loop.stop();
        QCOMPARE(run.list.count(), stored + 1);
    }
};

QTEST_GUILESS_MAIN(TestLoop)
#include "tst_loop.moc"
