// The download loop against a scripted web site on 127.0.0.1: framing, character
// sets, broken servers, known fortunes, stop, and the exact request on the wire.
#include "downloadloop.h"
#include "extraction.h"
#include "fakesite.h"
#include "fortunesfile.h"
#include "pagerequest.h"
#include "sitepage.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace fortune;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(QList<Reply>)

namespace {

// Short waits, so the failure cases end quickly.
const DownloadTimeouts kTestTimeouts{5000ms, 1000ms, 4000ms};

QByteArray withCrLfEnding(QByteArray page)
{
    page.chop(1); // "</html>\n" becomes "</html>\r\n": only the framing ends this page
    return page + "\r\n";
}

Reply whole(QByteArray response, Reply::End end = Reply::End::KeepOpen)
{
    return Reply{{std::move(response)}, 0, end};
}

Reply withLength(const QByteArray &page, QByteArrayView contentType = "text/html")
{
    return whole(site::okResponse(page, true, contentType));
}

// A chunked response whose chunks split the page at the given positions.
Reply chunked(const QByteArray &page, QList<qsizetype> cuts)
{
    QByteArray response = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nTransfer-Encoding: chunked\r\n\r\n";
    cuts.prepend(0);
    cuts.append(page.size());
    for (qsizetype i = 0; i + 1 < cuts.size(); ++i) {
        const QByteArray part = page.mid(cuts[i], cuts[i + 1] - cuts[i]);
        response += QByteArray::number(part.size(), 16) + "\r\n" + part + "\r\n";
    }
    return whole(response + "0\r\n\r\n");
}

QStringList readBack(const QString &path)
{
    FortuneList list;
    loadFortunesFile(path, list);
    QStringList texts;
    for (qsizetype i = 0; i < list.count(); ++i)
        texts << list.textAt(i);
    return texts;
}

QStringList texts(const FortuneList &list)
{
    QStringList result;
    for (qsizetype i = 0; i < list.count(); ++i)
        result << list.textAt(i);
    return result;
}

struct Collection {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("fortunes.txt"));
    FortuneList list;
    DownloadLoop loop{list, path};
    explicit Collection(quint16 port)
    {
        loop.setSite(SiteSettings{QStringLiteral("127.0.0.1"), port});
        loop.setTimeouts(kTestTimeouts);
    }
};

} // namespace

class TestLoop : public QObject {
    Q_OBJECT
private slots:
    void downloads_data()
    {
        QTest::addColumn<QList<Reply>>("replies");
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QString>("message"); // empty: the loop keeps going until stopped

        const QByteArray a = site::pageWithHtml("Fortune A");
        const QByteArray b = site::pageWithHtml("Line one<BR>Line two");
        const QStringList ab{QStringLiteral("Fortune A\r\n"), QStringLiteral("Line one\r\nLine two\r\n")};
        QTest::newRow("content-length, keep-alive") << QList<Reply>{withLength(a), withLength(b)} << ab << QString();
        QTest::newRow("page ending in CR LF") << QList<Reply>{withLength(withCrLfEnding(a)), withLength(b)} << ab
                                              << QString();
        const QByteArray crlfB = withCrLfEnding(b);
        QTest::newRow("chunked, boundary inside the fortune")
            << QList<Reply>{withLength(a), chunked(crlfB, {crlfB.indexOf("one") + 2, crlfB.indexOf("two")})} << ab
            << QString();
        QTest::newRow("close-delimited")
            << QList<Reply>{withLength(a),
                            whole("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n" + crlfB, Reply::End::Close)}
            << ab << QString();
        Reply drip;
        const QByteArray dripped = site::okResponse(b, true);
        for (qsizetype at = 0; at < dripped.size(); at += 40)
            drip.pieces << dripped.mid(at, 40);
        drip.dripMs = 10;
        QTest::newRow("slow drip") << QList<Reply>{withLength(a), drip} << ab << QString();
        QTest::newRow("same fortune again") << QList<Reply>{withLength(a), withLength(a)} << ab.mid(0, 1) << QString();
        QTest::newRow("empty fortune is not stored")
            << QList<Reply>{withLength(site::pageWithHtml("")), withLength(a)} << ab.mid(0, 1) << QString();
        QTest::newRow("lower-case <br> kept")
            << QList<Reply>{withLength(site::pageWithHtml("one<br>two"))} << QStringList{"one<br>two\r\n"} << QString();
        QTest::newRow("Latin-1 fortune")
            << QList<Reply>{withLength(site::pageWithHtml("Caf\xe9 cr\xe8me", {}), "text/html; charset=ISO-8859-1")}
            << QStringList{QStringLiteral("Caf\u00e9 cr\u00e8me\r\n")} << QString();
        QTest::newRow("UTF-8 fortune")
            << QList<Reply>{withLength(site::pageWithHtml("Gr\xc3\xbc\xc3\x9f""e \xe2\x82\xac"))}
            << QStringList{QStringLiteral("Gr\u00fc\u00dfe \u20ac\r\n")} << QString();

        QTest::newRow("page that never ends")
            << QList<Reply>{withLength(a), whole("HTTP/1.1 200 OK\r\nContent-Length: 900\r\n\r\n" + crlfB)}
            << ab.mid(0, 1) << QStringLiteral("did not finish: no new data for 1 s");
        QTest::newRow("no answer") << QList<Reply>{Reply{{}, 0, Reply::End::Silent}} << QStringList()
                                   << QStringLiteral("No answer from");
        QTest::newRow("closed without an answer") << QList<Reply>{Reply{{}, 0, Reply::End::Close}} << QStringList()
                                                  << QStringLiteral("No answer from");
        const QByteArray full = site::okResponse(b, true);
        QTest::newRow("reset mid-page")
            << QList<Reply>{withLength(a), Reply{{full.first(full.size() / 2), QByteArray()}, 50, Reply::End::Reset}}
            << ab.mid(0, 1) << QStringLiteral("did not finish");
        QTest::newRow("no table marker")
            << QList<Reply>{withLength("<html><body><p>Not here</p>" + QByteArray(200, ' ') + "</p></body></html>\n")}
            << QStringList() << QStringLiteral("held no fortune");
        QTest::newRow("no end marker") << QList<Reply>{withLength(a), withLength(QByteArray(a).replace("</p>", "</P>"))}
                                       << ab.mid(0, 1) << QStringLiteral("held no fortune");
        QTest::newRow("HTTP error status")
            << QList<Reply>{whole("HTTP/1.1 404 Not Found\r\nContent-Length: 10\r\n\r\n" + a.first(10))}
            << QStringList() << QStringLiteral("held no fortune: the server answered HTTP status 404 Not Found");
        Reply oversized{{"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"}, 0, Reply::End::Close};
        for (int i = 0; i < 9; ++i)
            oversized.pieces << QByteArray(1024 * 1024, 'x');
        QTest::newRow("oversized page") << QList<Reply>{oversized} << QStringList() << QStringLiteral("too large");
        QTest::newRow("bogus chunk size")
            << QList<Reply>{whole("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n-12\r\n" + a)}
            << QStringList() << QStringLiteral("not a usable web page");
    }
    void downloads()
    {
        QFETCH(QList<Reply>, replies);
        QFETCH(QStringList, stored);
        QFETCH(QString, message);
        FakeSite site;
        site.setReplies(replies);
        Collection c(site.port());
        QSignalSpy cycles(&c.loop, &DownloadLoop::cycleCompleted);
        QSignalSpy finished(&c.loop, &DownloadLoop::finished);
        QSignalSpy counts(&c.loop, &DownloadLoop::fortuneStored);

        c.loop.start();
        if (message.isEmpty()) {
            // Round the site's replies twice: the second round is all known fortunes.
            QTRY_VERIFY_WITH_TIMEOUT(cycles.count() >= 2 * replies.size() || !finished.isEmpty(), 20000);
            QVERIFY2(finished.isEmpty(), qPrintable(finished.value(0).value(0).toString()));
            c.loop.stop();
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty(), 20000);
            const QString said = finished.at(0).at(0).toString();
            QVERIFY2(said.contains(message), qPrintable(said));
            QVERIFY2(said.contains(QStringLiteral("127.0.0.1:%1").arg(site.port())), qPrintable(said));
        }
        QCOMPARE(finished.count(), 1);
        QVERIFY(!c.loop.isRunning());
        QVERIFY(!c.loop.FetchPending());
        QCOMPARE(texts(c.list), stored);
        QCOMPARE(readBack(c.path), stored);
        QCOMPARE(counts.count(), stored.size());
        if (!stored.isEmpty())
            QCOMPARE(counts.last().at(0).value<qsizetype>(), qsizetype(stored.size()));
    }

    void refusedPort()
    {
        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = probe.serverPort();
        }
        Collection c(port);
        QSignalSpy finished(&c.loop, &DownloadLoop::finished);
        c.loop.start();
        QVERIFY(finished.wait(10000));
        const QString said = finished.at(0).at(0).toString();
        QVERIFY2(said.startsWith(QStringLiteral("Could not connect to 127.0.0.1:%1: ").arg(port)), qPrintable(said));
        QVERIFY2(said.contains(QStringLiteral("refused"), Qt::CaseInsensitive), qPrintable(said));
        QVERIFY(!QFile::exists(c.path));
    }

    // Exactly the five texts, in order, one request per fresh connection, nothing else.
    void requestOnTheWire()
    {
        FakeSite site;
        site.setReplies({withLength(site::pageWithHtml("A"))});
        Collection c(site.port());
        QSignalSpy cycles(&c.loop, &DownloadLoop::cycleCompleted);
        c.loop.start();
        QTRY_VERIFY_WITH_TIMEOUT(cycles.count() >= 3, 20000);
        c.loop.stop();
        const QList<QByteArray> texts = pageRequestTexts(QStringLiteral("www.127.0.0.1"));
        const QList<int> sizes{29, 174, 8 + 13, 83, 2};
        for (int i = 0; i < texts.size(); ++i)
            QCOMPARE(int(texts[i].size()), sizes[i]);
        QCOMPARE(texts[2], QByteArray("Host: www.127.0.0.1\r\n"));
        const QByteArray request = texts.join();
        QTRY_VERIFY(site.connections() >= 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(site.received(i), request);
    }

    // A fortune already in the file, loaded at start, is not stored again.
    void knownFortuneNotStoredAgain()
    {
        FakeSite site;
        site.setReplies({withLength(site::fortunePage("Known\r\nfortune\r\n"))});
        Collection c(site.port());
        QVERIFY(appendRecord(c.path, "Known\r\nfortune").ok());
        QCOMPARE(loadFortunesFile(c.path, c.list).stored, qsizetype(1));
        QFile file(c.path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray before = file.readAll();
        file.close();
        QSignalSpy cycles(&c.loop, &DownloadLoop::cycleCompleted);
        c.loop.start();
        QTRY_VERIFY_WITH_TIMEOUT(cycles.count() >= 2, 20000);
        c.loop.stop();
        QCOMPARE(c.list.count(), 1);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), before);
        QCOMPARE(cycles.at(0).at(0).toBool(), false);
    }

    void storeFailureEndsTheLoop()
    {
        FakeSite site;
        site.setReplies({withLength(site::pageWithHtml("A"))});
        QTemporaryDir dir;
        FortuneList list;
        DownloadLoop loop(list, dir.filePath(QStringLiteral("missing/fortunes.txt")));
        loop.setSite(SiteSettings{QStringLiteral("127.0.0.1"), site.port()});
        loop.setTimeouts(kTestTimeouts);
        QSignalSpy finished(&loop, &DownloadLoop::finished);
        loop.start();
        QVERIFY(finished.wait(10000));
        QVERIFY2(finished.at(0).at(0).toString().startsWith(QStringLiteral("Could not store the fortune")),
                 qPrintable(finished.at(0).at(0).toString()));
        QCOMPARE(list.count(), 0);
    }

    // The site goes away right after serving a page: that page's fortune is
    // still stored, and the loop ends with one message about the connection.
    void siteGoneAfterAPage()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const quint16 port = server.serverPort();
        connect(&server, &QTcpServer::newConnection, this, [&server] {
            QTcpSocket *socket = server.nextPendingConnection();
            server.close(); // the next connection is refused
            connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                if (!socket->readAll().endsWith("\r\n\r\n"))
                    return;
                socket->write(site::okResponse(site::fortunePage("Last\r\nwords\r\n"), false));
                socket->disconnectFromHost();
            });
        });
        Collection c(port);
        QSignalSpy stored(&c.loop, &DownloadLoop::fortuneStored);
        QSignalSpy cycles(&c.loop, &DownloadLoop::cycleCompleted);
        QSignalSpy finished(&c.loop, &DownloadLoop::finished);
        c.loop.start();
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.count(), 1);
        const QString said = finished.at(0).at(0).toString();
        QVERIFY2(said.startsWith(QStringLiteral("Could not connect to 127.0.0.1:%1: ").arg(port)), qPrintable(said));
        QCOMPARE(stored.count(), 1);
        QCOMPARE(cycles.count(), 1);
        QVERIFY(!c.loop.isRunning());
        QCOMPARE(texts(c.list), QStringList{QStringLiteral("Last\r\nwords\r\n")});
        QCOMPARE(readBack(c.path), texts(c.list));
    }

    // The next connection fails at once, within the call that starts it (the
    // system refuses a connection to the broadcast address), while a page is in
    // hand: that page's fortune is still stored, then the loop ends, once.
    void nextConnectionFailsAtOnce()
    {
        FakeSite site;
        site.setReplies({withLength(site::fortunePage("Last"))});
        Collection c(site.port());
        QSignalSpy stored(&c.loop, &DownloadLoop::fortuneStored);
        QSignalSpy cycles(&c.loop, &DownloadLoop::cycleCompleted);
        QSignalSpy finished(&c.loop, &DownloadLoop::finished);
        connect(&site, &FakeSite::requestReceived, this,
                [&] { c.loop.setSite(SiteSettings{QStringLiteral("255.255.255.255"), 80}); });
        qsizetype countWhenFinished = -1;
        connect(&c.loop, &DownloadLoop::finished, this, [&] { countWhenFinished = c.list.count(); });
        c.loop.start();
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(countWhenFinished, 1); // told after the fortune was stored
        const QString said = finished.at(0).at(0).toString();
        QVERIFY2(said.startsWith(QStringLiteral("Could not connect to 255.255.255.255:80: ")), qPrintable(said));
        QCOMPARE(stored.count(), 1);
        QCOMPARE(cycles.count(), 1);
        QCOMPARE(texts(c.list), QStringList{QStringLiteral("Last\r\n")});
        QCOMPARE(readBack(c.path), texts(c.list));
    }

    // Stop while the connection is still being made: nothing of that cycle is
    // stored, and the next start begins afresh.
    void stopWhileConnecting()
    {
        FakeSite site;
        site.setReplies({withLength(site::pageWithHtml("Fortune B"))});
        Collection c(site.port());
        QSignalSpy finished(&c.loop, &DownloadLoop::finished);
        QSignalSpy stored(&c.loop, &DownloadLoop::fortuneStored);
        c.loop.start();
        QVERIFY(c.loop.isRunning());
        c.loop.stop();
        QVERIFY(!c.loop.isRunning());
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toString(), QString());
        QVERIFY(c.loop.StopRequested());
        QVERIFY(!c.loop.FetchPending());

        c.loop.start(); // a stop from before does not hold the new loop back
        QVERIFY(stored.wait(10000));
        c.loop.stop();
        QCOMPARE(texts(c.list), QStringList{QStringLiteral("Fortune B\r\n")});
        QCOMPARE(stored.count(), 1);
    }

    // Stop while the page is awaited: abandoned at once; a second start while the
    // loop runs changes nothing.
    void stopWhileWaitingForThePage()
    {
        FakeSite site;
        site.setReplies({Reply{{}, 0, Reply::End::Silent}});
        Collection c(site.port());
        QSignalSpy running(&c.loop, &DownloadLoop::runningChanged);
        QSignalSpy finished(&c.loop, &DownloadLoop::finished);
        QSignalSpy requests(&site, &FakeSite::requestReceived);
        c.loop.start();
        QVERIFY(requests.wait(10000));
        QTRY_VERIFY(c.loop.FetchPending());

        c.loop.start();
        QVERIFY(c.loop.FetchPending()); // the cycle goes on, no second loop
        QCOMPARE(running.count(), 1);

        c.loop.stop();
        QVERIFY(!c.loop.isRunning());
        QVERIFY(!c.loop.FetchPending());
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toString(), QString());
        QCOMPARE(c.list.count(), 0);
        QVERIFY(!QFile::exists(c.path));
        c.loop.stop(); // several stops act as one
        QCOMPARE(finished.count(), 1);
    }

    // The hidden buttons' single steps: connect, then send the page request; the
    // answer collects in the receive buffer.
    void singleSteps()
    {
        FakeSite site;
        const QByteArray response = site::okResponse(site::pageWithHtml("ab<BR>cd"), true);
        site.setReplies({whole(response)});
        Collection c(site.port());
        QVERIFY(!c.loop.sendRequestStep().ok()); // not connected yet
        QSignalSpy connected(&c.loop, &DownloadLoop::connectStepFinished);
        c.loop.connectStep();
        QCOMPARE(c.loop.receiveBuffer(), QByteArray("Connecting..."));
        QVERIFY(connected.wait(10000));
        QCOMPARE(connected.at(0).at(0).toString(), QString());
        QCOMPARE(c.loop.receiveBuffer(), QByteArray("Connected..."));
        QVERIFY(c.loop.sendRequestStep().ok());
        QTRY_COMPARE(c.loop.receiveBuffer(), response);
        QVERIFY(testExtraction(c.loop.receiveBuffer()).startsWith(QStringLiteral("ab<Bb<BR\r\nd")));
    }
};

QTEST_GUILESS_MAIN(TestLoop)
#include "tst_loop.moc"
