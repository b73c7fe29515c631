// Hostile and broken web servers: bogus chunk sizes, lying Content-Lengths,
// NUL bytes, endless headers, a page of a million <BR> tags, slow and silent
// servers. Each cycle ends with one message within the bounded waits, the
// receive buffer stays under the 8 MiB page cap plus a little, and nothing of a
// bad answer is stored.
#include "../testutil.h"
#include "downloadloop.h"
#include "fakesite.h"
#include "sitepage.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace fortune;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(Reply)

namespace {

const DownloadTimeouts kTimeouts{3000ms, 500ms, 2000ms};
// The receive buffer may hold one answer of up to 8 MiB and not much more.
constexpr qsizetype kBufferBound = ResponseReader::kMaxResponse + 64 * 1024;

const QByteArray kOk = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
const QByteArray kChunkedHead = kOk + "Transfer-Encoding: chunked\r\n\r\n";

Reply keepOpen(QList<QByteArray> pieces, int dripMs = 0)
{
    return Reply{std::move(pieces), dripMs, Reply::End::KeepOpen};
}

Reply closing(QList<QByteArray> pieces)
{
    return Reply{std::move(pieces), 0, Reply::End::Close};
}

QByteArray withLength(const QByteArray &body, qsizetype announced)
{
    return kOk + "Content-Length: " + QByteArray::number(announced) + "\r\n\r\n" + body;
}

// A figure from /proc/self/status in kB ("VmRSS", "VmHWM"), or -1.
long statusKb(QByteArrayView field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field) && line.size() > field.size() && line[field.size()] == ':')
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLong();
    return -1;
}

// Starts the peak resident size afresh from the current one (Linux).
void resetPeakRss()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

} // namespace

class TestHostileServers : public QObject {
    Q_OBJECT

private slots:
    void answers_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QByteArray>("stored"); // empty: nothing
        QTest::addColumn<QString>("message");   // empty: cycles go on until stopped
        auto bad = [](const char *name, const Reply &reply, const char *message) {
            QTest::newRow(name) << reply << QByteArray() << QString::fromUtf8(message);
        };
        auto good = [](const char *name, const Reply &reply, const QByteArray &stored) {
            QTest::newRow(name) << reply << stored << QString();
        };
        const QByteArray page = site::pageWithHtml("Line one<BR>Line two");
        const QByteArray fortune = "Line one\r\nLine two\r\n";
        const QByteArray endless = QByteArray(1024 * 1024, 'x');

        // Chunk sizes.
        bad("chunk size huge", keepOpen({kChunkedHead + "ffffffffffffffffffff\r\n" + page}),
            "too large: a chunk of the page is larger than 8 MiB");
        bad("chunk size just over 8 MiB", keepOpen({kChunkedHead + "800001\r\n" + page}), "too large");
        bad("chunk size not hex", keepOpen({kChunkedHead + "zz\r\n" + page}), "not a usable web page: its chunk size");
        bad("chunk size with 0x", keepOpen({kChunkedHead + "0x40\r\n" + page}), "not a hexadecimal number");
        bad("chunk size empty", keepOpen({kChunkedHead + "\r\n" + page}), "not a hexadecimal number");
        bad("chunk longer than its size", keepOpen({kChunkedHead + "10\r\n" + page + "\r\n0\r\n\r\n"}),
            "a chunk is longer than its size says");
        bad("chunk-size line without end", keepOpen({kChunkedHead + "a;" + QByteArray(4096, 'e')}),
            "a chunk-size line is longer than 1 KiB");
        Reply manyChunks = keepOpen({kChunkedHead});
        for (int i = 0; i < 9; ++i)
            manyChunks.pieces << "100000\r\n" + endless + "\r\n";
        bad("chunks adding up past 8 MiB", manyChunks, "too large: the answer is larger than 8 MiB");

        // Content-Length lies.
        bad("length too short, ends inside the fortune", keepOpen({withLength(page, page.indexOf("Line two") + 4)}),
            "held no fortune");
        // The fortune is whole before the announced end: it is sound to keep it.
        good("length too short, ends after the fortune", keepOpen({withLength(page, page.indexOf("</p>") + 4)}),
             fortune);
        bad("length too long, server waits", keepOpen({withLength(page.chopped(1), page.size() + 100)}),
            "did not finish: no new data for 0.5 s");
        bad("length too long, server closes", closing({withLength(page.chopped(1), page.size() + 100)}),
            "did not finish: the connection was closed 101 bytes before the announced end");
        // The page itself says it has ended ("</html>" and one more character).
        good("length too long, page complete", keepOpen({withLength(page, page.size() + 100)}), fortune);
        bad("length negative", keepOpen({withLength(page, -5)}), "its Content-Length \"-5\" is not a number");
        bad("length huge", keepOpen({withLength(page, 99999999999LL)}), "too large: the page is larger than 8 MiB");
        bad("two lengths", keepOpen({kOk + "Content-Length: 10\r\n" + withLength(page, page.size()).sliced(kOk.size())}),
            "two different Content-Lengths");

        // NUL bytes.
        bad("NUL in the fortune", keepOpen({site::okResponse(site::pageWithHtml(QByteArray("Line\0one", 8)), true)}),
            "the page holds NUL bytes");
        bad("NUL in a chunk",
            keepOpen({kChunkedHead + QByteArray("4\r\nab\0c\r\n", 9) + QByteArray::number(page.size(), 16) + "\r\n"
                      + page + "\r\n0\r\n\r\n"}),
            "the page holds NUL bytes");
        bad("NUL in the headers",
            keepOpen({QByteArray("HTTP/1.1 200 OK\r\nX-A: \0\r\n", 25) + "Content-Length: 5\r\n\r\nhello"}),
            "its headers hold NUL bytes");
        bad("NUL page without framing", closing({QByteArray(4096, '\0')}), "NUL bytes");

        // Endless or missing answers.
        bad("endless headers in one go", keepOpen({kOk + "X-Pad: " + endless}), "its headers are longer than 64 KiB");
        Reply headerDrip = keepOpen({kOk}, 5);
        for (int i = 0; i < 200; ++i)
            headerDrip.pieces << "X-Header-" + QByteArray::number(i) + ": " + QByteArray(400, 'h') + "\r\n";
        bad("endless headers, line by line", headerDrip, "its headers are longer than 64 KiB");
        bad("headers, then nothing", keepOpen({kOk + "Content-Length: 500\r\n\r\n"}),
            "did not finish: no new data for 0.5 s");
        Reply slowLoris = keepOpen({kOk + "\r\n"}, 200);
        for (int i = 0; i < 40; ++i)
            slowLoris.pieces << "<p>";
        bad("a drip that never ends", slowLoris, "did not finish within 2 s");
        bad("accepts and never answers", Reply{{}, 0, Reply::End::Silent}, "No answer from 127.0.0.1");
        Reply bodyWithoutEnd = keepOpen({"HTTP/1.0 200 OK\r\n\r\n"});
        for (int i = 0; i < 9; ++i)
            bodyWithoutEnd.pieces << endless;
        bad("close-delimited page that never closes", bodyWithoutEnd, "too large");

        // A million <BR> tags: the conversion is linear, so this finishes like any page.
        const QByteArray breaks = QByteArray("<BR>").repeated(1'000'000) + "end";
        good("a million <BR>", keepOpen({site::okResponse(site::pageWithHtml(breaks), true)}),
             QByteArray("\r\n").repeated(1'000'000) + "end\r\n");
    }

    void answers()
    {
        QFETCH(Reply, reply);
        QFETCH(QByteArray, stored);
        QFETCH(QString, message);
        FakeSite site;
        site.setReplies({reply});
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("fortunes.txt"));
        FortuneList list;
        DownloadLoop loop(list, path);
        loop.setSite(SiteSettings{QStringLiteral("127.0.0.1"), site.port()});
        loop.setTimeouts(kTimeouts);
        QSignalSpy cycles(&loop, &DownloadLoop::cycleCompleted);
        QSignalSpy finished(&loop, &DownloadLoop::finished);

        resetPeakRss();
        const long rssBefore = statusKb("VmRSS");
        loop.start();
        if (message.isEmpty()) {
            // Twice round: the second time the fortune is known.
            QTRY_VERIFY_WITH_TIMEOUT(cycles.count() >= 2 || !finished.isEmpty(), 30000);
            QVERIFY2(finished.isEmpty(), qPrintable(finished.value(0).value(0).toString()));
            loop.stop();
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty(), 30000);
            const QString said = finished.at(0).at(0).toString();
            QVERIFY2(said.contains(message), qPrintable(said));
            QVERIFY2(said.contains(QStringLiteral("127.0.0.1:%1").arg(site.port())), qPrintable(said));
        }
        QCOMPARE(finished.count(), 1);
        QVERIFY(!loop.isRunning());
        // Figures only: the sanitizers' bookkeeping would make a bound on them meaningless.
        qInfo("receive buffer %lld bytes; peak resident size %ld kB above the start of the cycle",
              static_cast<long long>(loop.receiveBuffer().size()), statusKb("VmHWM") - rssBefore);
        QVERIFY2(loop.receiveBuffer().size() <= kBufferBound, qPrintable(QString::number(loop.receiveBuffer().size())));
        QCOMPARE(list.count(), stored.isEmpty() ? 0 : 1);
        if (stored.isEmpty()) {
            QVERIFY(!QFile::exists(path));
        } else { // a million lines: no QCOMPARE print-out
            QVERIFY(list.rawAt(0) == stored);
            QVERIFY(testutil::recordsOf(path) == QList<QByteArray>{stored});
        }
    }

    // A server whose listening socket never accepts: the system completes the
    // connection and takes the request, and then nothing ever comes.
    void listenerThatNeverAccepts()
    {
        QTcpServer deaf;
        QVERIFY(deaf.listen(QHostAddress::LocalHost, 0));
        QTemporaryDir dir;
        FortuneList list;
        DownloadLoop loop(list, dir.filePath(QStringLiteral("fortunes.txt")));
        loop.setSite(SiteSettings{QStringLiteral("127.0.0.1"), deaf.serverPort()});
        loop.setTimeouts(kTimeouts);
        QSignalSpy finished(&loop, &DownloadLoop::finished);
        loop.start();
        QVERIFY(finished.wait(10000));
        const QString said = finished.at(0).at(0).toString();
        QVERIFY2(said.startsWith(QStringLiteral("No answer from 127.0.0.1:%1: nothing came within 0.5 s").arg(deaf.serverPort())),
                 qPrintable(said));
        QCOMPARE(list.count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestHostileServers)
#include "tst_servers.moc"
