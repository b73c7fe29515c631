// fortune-site's request parser alone: what each request gets, whether the
// connection goes on, and that the bytes give the same requests however they
// are cut up.
#include "httprequest.h"

#include <QTest>

using namespace Qt::StringLiterals;
using namespace fortune::site;

class TestHttpRequest : public QObject {
    Q_OBJECT

    // The requests read from bytes fed in pieces of `piece` bytes: "200k"
    // for a 200 kept alive, "200h" for one to HEAD, in order; "..." at the
    // end while more may come.
    static QString readAll(const QByteArray &bytes, qsizetype piece)
    {
        RequestReader reader;
        QStringList got;
        for (qsizetype at = 0; at < bytes.size(); at += piece) {
            reader.feed(QByteArrayView(bytes).sliced(at, std::min(piece, bytes.size() - at)));
            while (const std::optional<Request> request = reader.next())
                got << QString::number(request->status) + (request->keepAlive ? u"k"_s : QString())
                           + (request->headOnly ? u"h"_s : QString());
        }
        if (!reader.ended())
            got << u"..."_s;
        return got.join(u' ');
    }

private slots:
    void requests_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("requests");
        const QByteArray get = "GET /fortune.shtml HTTP/1.1\r\nHost: a\r\n";
        QTest::newRow("kept alive, pipelined") << get + "\r\n" + get + "\r\n" << u"200k 200k ..."_s;
        QTest::newRow("Connection: close ends it") << get + "Connection: x, Close\r\n\r\n" + get + "\r\n" << u"200"_s;
        QTest::newRow("HTTP/1.0, query") << QByteArray("GET /fortune.shtml?x=1 HTTP/1.0\r\n\r\n") << u"200"_s;
        QTest::newRow("HTTP/1.0 asks to be kept") << QByteArray("GET /fortune.shtml HTTP/1.0\r\nConnection: keep-alive\r\n\r\n") << u"200k ..."_s;
        QTest::newRow("HTTP/1.2 is 1.1") << QByteArray(get).replace("1.1", "1.2") + "\r\n" << u"200k ..."_s;
        QTest::newRow("HEAD, LF lines") << QByteArray("HEAD /fortune.shtml HTTP/1.1\nHost: a\n\n") << u"200kh ..."_s;
        QTest::newRow("absolute form, empty lines first") << QByteArray("\r\n\r\nGET http://a/fortune.shtml HTTP/1.1\r\nHost: a\r\n\r\n") << u"200k ..."_s;
        QTest::newRow("other paths") << QByteArray("GET /etc/passwd HTTP/1.1\r\nHost: a\r\n\r\nGET /../fortune.shtml HTTP/1.1\r\nHost: a\r\n\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n") << u"404k 404k 404k ..."_s;
        QTest::newRow("POST with a body") << "POST /fortune.shtml HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc" + get + "\r\n" << u"405"_s;
        QTest::newRow("a chunked body") << get + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + get + "\r\n" << u"200"_s;
        QTest::newRow("lower-case method") << QByteArray("get /fortune.shtml HTTP/1.1\r\nHost: a\r\n\r\n") << u"405k ..."_s;
        QTest::newRow("no Host") << QByteArray("GET /fortune.shtml HTTP/1.1\r\n\r\n") << u"400"_s;
        QTest::newRow("HTTP/1.2 without Host") << QByteArray("GET /fortune.shtml HTTP/1.2\r\n\r\n") << u"400"_s;
        QTest::newRow("two Hosts") << get + "Host: b\r\n\r\n" << u"400"_s;
        QTest::newRow("HTTP/2.0") << QByteArray("GET /fortune.shtml HTTP/2.0\r\n\r\n") << u"505"_s;
        QTest::newRow("HTTP/1.10") << QByteArray("GET /fortune.shtml HTTP/1.10\r\n") << u"400"_s;
        QTest::newRow("not HTTP") << QByteArray("hello there\r\n\r\n") << u"400"_s;
        QTest::newRow("a line of garbage is refused at its end") << QByteArray("hello there\r\n") << u"400"_s;
        QTest::newRow("a TLS handshake, at its first bytes") << QByteArray("\x16\x03\x01\x00\xa5", 5) << u"400"_s;
        QTest::newRow("NUL in a field") << get + QByteArray("X: a\0b\r\n\r\n", 10) << u"400"_s;
        QTest::newRow("folded field") << get + " more\r\n\r\n" << u"400"_s;
        QTest::newRow("blank before the colon") << get + "X : y\r\n\r\n" << u"400"_s;
        QTest::newRow("bad Content-Length") << get + "Content-Length: -1\r\n\r\n" << u"400"_s;
        QTest::newRow("head of 8 KiB") << get + "X: " + QByteArray(8192 - get.size() - 7, 'x') + "\r\n\r\n" << u"200k ..."_s;
        QTest::newRow("head over 8 KiB") << get + "X: " + QByteArray(8192 - get.size() - 6, 'x') + "\r\n\r\n" << u"431"_s;
        QTest::newRow("a head over 8 KiB that never ends") << get + "X: " + QByteArray(9000, 'x') << u"431"_s;
        QTest::newRow("half a request waits") << get << u"..."_s;
        QTest::newRow("after a refusal, nothing") << "GET /fortune.shtml HTTP/3.0\r\n\r\n" + get + "\r\n" << u"505"_s;
    }
    void requests()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, requests);
        QCOMPARE(readAll(bytes, bytes.size()), requests);
        QCOMPARE(readAll(bytes, 1), requests);
        QCOMPARE(readAll(bytes, 7), requests);
    }
};

QTEST_GUILESS_MAIN(TestHttpRequest)
#include "tst_httprequest.moc"
