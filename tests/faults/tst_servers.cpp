// Hostile and broken web servers: bogus chunk sizes, lying Content-Lengths,
// NUL bytes, endless headers, a page of a million <BR> tags, slow and silent
// servers. Each cycle ends with one message within the bounded waits, the
// receive buffer stays under the 8 MiB page cap plus a little, and nothing of a
// bad answer is stored.
#include "downloadloop.h"
#include "fakesite.h"
#include "fortunesfile.h"
#include "sitepage.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace fortune;
using namespace std::chrono_literals;

Q_DECLARE_METATYPE(QList<Reply>)

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

QStringList texts(const FortuneList &list)
{
    QStringList out;
    for (qsizetype i = 0; i < list.count(); ++i)
        out << QString::fromUtf8(list.rawAt(i));
    return out;
}

QStringList readBack(const QString &path)
{
    FortuneList list;
    loadFortunesFile(path, list);
    return texts(list);
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
        QTest::addColumn<QList<Reply>>("replies");
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QString>("message"); // empty: cycles go on until stopped

        const QByteArray page = site::pageWithHtml("Line one<BR>Line two");
        const QStringList fortune{QStringLiteral("Line one\r\nLine two\r\n")};
        const QByteArray endless = QByteArray(1024 * 1024, 'x');

        // Chunk sizes.
        QTest::newRow("chunk size huge") << QList<Reply>{keepOpen({kChunkedHead + "ffffffffffffffffffff\r\n" + page})}
                                         << QStringList() << QStringLiteral("too large: a chunk of the page is larger than 8 MiB");
        QTest::newRow("chunk size just over 8 MiB")
            << QList<Reply>{keepOpen({kChunkedHead + "800001\r\n" + page})} << QStringList()
            << QStringLiteral("too large");
        QTest::newRow("chunk size not hex") << QList<Reply>{keepOpen({kChunkedHead + "zz\r\n" + page})} << QStringList()
                                            << QStringLiteral("not a usable web page: its chunk size");
        QTest::newRow("chunk size with 0x") << QList<Reply>{keepOpen({kChunkedHead + "0x40\r\n" + page})}
                                            << QStringList() << QStringLiteral("not a hexadecimal number");
        QTest::newRow("chunk size empty") << QList<Reply>{keepOpen({kChunkedHead + "\r\n" + page})} << QStringList()
                                          << QStringLiteral("not a hexadecimal number");
        QTest::newRow("chunk longer than its size")
            << QList<Reply>{keepOpen({kChunkedHead + "10\r\n" + page + "\r\n0\r\n\r\n"})} << QStringList()
            << QStringLiteral("a chunk is longer than its size says");
        QTest::newRow("chunk-size line without end")
            << QList<Reply>{keepOpen({kChunkedHead + "a;" + QByteArray(4096, 'e')})} << QStringList()
            << QStringLiteral("a chunk-size line is longer than 1 KiB");
        Reply manyChunks = keepOpen({kChunkedHead});
        for (int i = 0; i < 9; ++i)
            manyChunks.pieces << "100000\r\n" + endless + "\r\n";
        QTest::newRow("chunks adding up past 8 MiB") << QList<Reply>{manyChunks} << QStringList()
                                                     << QStringLiteral("too large: the answer is larger than 8 MiB");

        // Content-Length lies.
        const qsizetype inFortune = page.indexOf("Line two");
        QTest::newRow("length too short, ends inside the fortune")
            << QList<Reply>{keepOpen({withLength(page, inFortune + 4)})} << QStringList()
            << QStringLiteral("held no fortune");
        // The fortune is whole before the announced end: it is sound to keep it,
        // and the rest of the page is not read as part of anything.
        QTest::newRow("length too short, ends after the fortune")
            << QList<Reply>{keepOpen({withLength(page, page.indexOf("</p>") + 4)})} << fortune << QString();
        QTest::newRow("length too long, server waits")
            << QList<Reply>{keepOpen({withLength(page.chopped(1), page.size() + 100)})} << QStringList()
            << QStringLiteral("did not finish: no new data for 0.5 s");
        QTest::newRow("length too long, server closes")
            << QList<Reply>{closing({withLength(page.chopped(1), page.size() + 100)})} << QStringList()
            << QStringLiteral("did not finish: the connection was closed 101 bytes before the announced end");
        // The page itself says it has ended ("</html>" and one more character).
        QTest::newRow("length too long, page complete")
            << QList<Reply>{keepOpen({withLength(page, page.size() + 100)})} << fortune << QString();
        QTest::newRow("length negative") << QList<Reply>{keepOpen({withLength(page, -5)})} << QStringList()
                                         << QStringLiteral("its Content-Length \"-5\" is not a number");
        QTest::newRow("length huge") << QList<Reply>{keepOpen({withLength(page, 99999999999LL)})} << QStringList()
                                     << QStringLiteral("too large: the page is larger than 8 MiB");
        QTest::newRow("two lengths")
            << QList<Reply>{keepOpen({kOk + "Content-Length: 10\r\n" + withLength(page, page.size()).sliced(kOk.size())})}
            << QStringList() << QStringLiteral("two different Content-Lengths");

        // NUL bytes.
        QTest::newRow("NUL in the fortune")
            << QList<Reply>{keepOpen({site::okResponse(site::pageWithHtml(QByteArray("Line\0one", 8)), true)})}
            << QStringList() << QStringLiteral("the page holds NUL bytes");
        QTest::newRow("NUL in a chunk")
            << QList<Reply>{keepOpen({kChunkedHead + QByteArray("4\r\nab\0c\r\n", 9) + QByteArray::number(page.size(), 16) + "\r\n" + page
                                      + "\r\n0\r\n\r\n"})}
            << QStringList() << QStringLiteral("the page holds NUL bytes");
        QTest::newRow("NUL in the headers")
            << QList<Reply>{keepOpen({QByteArray("HTTP/1.1 200 OK\r\nX-A: \0\r\n", 25) + "Content-Length: 5\r\n\r\nhello"})}
            << QStringList() << QStringLiteral("its headers hold NUL bytes");
        QTest::newRow("NUL page without framing")
            << QList<Reply>{closing({QByteArray(4096, '\0')})} << QStringList() << QStringLiteral("NUL bytes");

        // Endless or missing answers.
        QTest::newRow("endless headers in one go")
            << QList<Reply>{keepOpen({kOk + "X-Pad: " + endless})} << QStringList()
            << QStringLiteral("its headers are longer than 64 KiB");
        Reply headerDrip = keepOpen({kOk}, 5);
        for (int i = 0; i < 200; ++i)
            headerDrip.pieces << "X-Header-" + QByteArray::number(i) + ": " + QByteArray(400, 'h') + "\r\n";
        QTest::newRow("endless headers, line by line")
            << QList<Reply>{headerDrip} << QStringList() << QStringLiteral("its headers are longer than 64 KiB");
        QTest::newRow("headers, then nothing") << QList<Reply>{keepOpen({kOk + "Content-Length: 500\r\n\r\n"})}
                                               << QStringList() << QStringLiteral("did not finish: no new data for 0.5 s");
        Reply slowLoris = keepOpen({kOk + "\r\n"}, 200);
        for (int i = 0; i < 40; ++i)
            slowLoris.pieces << "<p>";
        QTest::newRow("a drip that never ends") << QList<Reply>{slowLoris} << QStringList()
                                                << QStringLiteral("did not finish within 2 s");
        QTest::newRow("accepts and never answers") << QList<Reply>{Reply{{}, 0, Reply::End::Silent}} << QStringList()
                                                   << QStringLiteral("No answer from 127.0.0.1");
        Reply bodyWithoutEnd = keepOpen({"HTTP/1.0 200 OK\r\n\r\n"});
        for (int i = 0; i < 9; ++i)
            bodyWithoutEnd.pieces << endless;
        QTest::newRow("close-delimited page that never closes")
            << QList<Reply>{bodyWithoutEnd} << QStringList() << QStringLiteral("too large");

        // A page of a million <BR> tags: the conversion is linear in the page,
        // so this finishes like any page; the fortune is a million empty lines.
        QByteArray breaks;
        breaks.reserve(4'000'010);
        for (int i = 0; i < 1'000'000; ++i)
            breaks += "<BR>";
        breaks += "end";
        QTest::newRow("a million <BR>")
            << QList<Reply>{keepOpen({site::okResponse(site::pageWithHtml(breaks), true)})}
            << QStringList{QString(QStringLiteral("\r\n")).repeated(1'000'000) + QStringLiteral("end\r\n")} << QString();
    }

    void answers()
    {
        QFETCH(QList<Reply>, replies);
        QFETCH(QStringList, stored);
        QFETCH(QString, message);
        FakeSite site;
        site.setReplies(replies);
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
        QCOMPARE(list.count(), stored.size());
        QVERIFY(texts(list) == stored);
        if (stored.isEmpty())
            QVERIFY(!QFile::exists(path));
        else
            QVERIFY(readBack(path) == stored);
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
