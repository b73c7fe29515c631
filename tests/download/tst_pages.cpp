// The parts of a download that need no network: the end-of-page test, cutting
// and converting the fortune, character sets, HTTP framing, and the --site value.
#include "../testutil.h"
#include "extraction.h"
#include "httpresponse.h"
#include "reloadfile.h"
#include "sitepage.h"
#include "sitesettings.h"

#include <QTemporaryDir>
#include <QTest>

using namespace fortune;
using Progress = ResponseReader::Progress;
using Failure = ResponseReader::Failure;

Q_DECLARE_METATYPE(ResponseReader::Progress)
Q_DECLARE_METATYPE(ResponseReader::Failure)

namespace {
// A page with the marker and exactly the 52 characters after it, then cut.
QByteArray pageAround(QByteArrayView cutAndEnd)
{
    return "<html><body>" + kTableMarker.toByteArray() + QByteArray(52, '.') + cutAndEnd.toByteArray();
}
} // namespace

class TestPages : public QObject {
    Q_OBJECT
private slots:
    void endOfPage_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<bool>("passes");
        QTest::newRow("</html> LF") << QByteArray("<p>x</p></html>\n") << true;
        QTest::newRow("</html> alone at the end") << QByteArray("<p>x</p></html>") << false;
        QTest::newRow("</html> CR LF") << QByteArray("<p>x</p></html>\r\n") << false;
        QTest::newRow("</HTML> LF") << QByteArray("<p>x</p></HTML>\n") << false;
        QTest::newRow("exactly </html>") << QByteArray("</html>") << true;
        QTest::newRow("</html> and any one character") << QByteArray("abc</html>x") << true;
        QTest::newRow("8 characters, marker not first") << QByteArray("x</html>") << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("short") << QByteArray("</h") << false;
    }
    void endOfPage()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(bool, passes);
        QCOMPARE(isEndOfPage(buffer), passes);
    }

    void convertBreaks_data()
    {
        QTest::addColumn<QByteArray>("cut");
        QTest::addColumn<QByteArray>("converted");
        QTest::newRow("12 characters, digits dropped") << QByteArray("ab<BR>cd1234") << QByteArray("ab\r\ncd");
        QTest::newRow("7: tag among the last four") << QByteArray("xyz<BR>") << QByteArray("xyz");
        QTest::newRow("6: tag at L-4 still replaced") << QByteArray("x<BR>y") << QByteArray("x\r\n");
        QTest::newRow("4 characters") << QByteArray("abcd") << QByteArray();
        QTest::newRow("3 characters") << QByteArray("abc") << QByteArray();
        QTest::newRow("empty") << QByteArray() << QByteArray();
        QTest::newRow("lower-case tag kept") << QByteArray("a<br>b\r\n  ") << QByteArray("a<br>b");
        QTest::newRow("tags in a row") << QByteArray("<BR><BR>z....") << QByteArray("\r\n\r\nz");
        QTest::newRow("other tags and raw breaks kept") << QByteArray("<i>a</i>\nb&amp;....")
                                                         << QByteArray("<i>a</i>\nb&amp;");
    }
    void convertBreaks()
    {
        QFETCH(QByteArray, cut);
        QFETCH(QByteArray, converted);
        QCOMPARE(fortune::convertBreaks(cut), converted);
    }

    void cutFortune_data()
    {
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QByteArray>("cut");
        QTest::newRow("cut starts 130 after the marker") << pageAround("First<BR>Second....</p>") << true
                                                         << QByteArray("First<BR>Second....");
        QTest::newRow("end marker right at the start") << pageAround("</p>") << true << QByteArray();
        QTest::newRow("first end marker counts") << pageAround("a</p>b</p>") << true << QByteArray("a");
        QTest::newRow("no table marker") << QByteArray(200, 'x') + "</p>" << false << QByteArray();
        QTest::newRow("no end marker") << pageAround("fortune without end") << false << QByteArray();
        QTest::newRow("end marker only before the start") << QByteArray("</p>") + pageAround("x") << false
                                                          << QByteArray();
        QTest::newRow("page ends inside the 52") << kTableMarker.toByteArray() + "</p>" << false << QByteArray();
        QTest::newRow("fortune-site layout") << site::fortunePage("One\r\nTwo\r\n") << true
                                             << QByteArray("One<BR>Two\r\n  ");
    }
    void cutFortune()
    {
        QFETCH(QByteArray, page);
        QFETCH(bool, found);
        QFETCH(QByteArray, cut);
        const std::optional<QByteArray> result = fortune::cutFortune(page);
        QCOMPARE(result.has_value(), found);
        if (found)
            QCOMPARE(*result, cut);
    }

    void testExtraction_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<QString>("shown");
        // Overlapping windows of four; the character after a tag is passed over.
        QTest::newRow("8-character cut") << pageAround("ab<BR>cd") << QStringLiteral("ab<Bb<BR\r\nd");
        QTest::newRow("start-up buffer") << QByteArray("Waiting...\r\n") << QString();
        QTest::newRow("20 characters at most") << pageAround("abcdefghijklmnopqrstuvwxyz")
                                               << QStringLiteral("abcdbcdecdefdefgefghfghighijhijkijkljklm"
                                                                 "klmnlmnomnopnopqopqrpqrsqrstrststt");
        QTest::newRow("no marker: from position 130") << QByteArray(129, '-') + "<BR>x" << QStringLiteral("\r\n");
    }
    void testExtraction()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(QString, shown);
        QCOMPARE(fortune::testExtraction(buffer), shown);
    }

    void decoding_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("metaCharset");
        QTest::addColumn<QByteArray>("fortune");
        QTest::addColumn<QString>("text");
        auto row = [](const char *name, const QByteArray &contentType, const QByteArray &meta,
                      const QByteArray &fortune, const QString &text) {
            QTest::newRow(name) << contentType << meta << fortune << text;
        };
        const QString eAcute = QStringLiteral("caf\u00e9");
        row("header latin-1", "text/html; charset=ISO-8859-1", {}, "caf\xe9", eAcute);
        row("quoted header charset", "text/html;charset=\"utf-8\"", {}, "caf\xc3\xa9", eAcute);
        row("meta latin-1", "text/html", "iso-8859-1", "caf\xe9", eAcute);
        row("header wins over meta", "text/html; charset=windows-1252", "utf-8", "caf\xc3\xa9",
            QStringLiteral("caf\u00c3\u00a9"));
        row("undeclared UTF-8", {}, {}, "caf\xc3\xa9", eAcute);
        row("undeclared, not UTF-8: Windows-1252", {}, {}, "\x80 5", QStringLiteral("\u20ac 5"));
        row("declared UTF-8 but is not", "text/html; charset=utf-8", {}, "\x93hi\x94", QStringLiteral("\u201chi\u201d"));
        row("unknown charset", "text/html; charset=x-unknown", {}, "caf\xc3\xa9", eAcute);
    }

    void decoding()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, metaCharset);
        QFETCH(QByteArray, fortune);
        QFETCH(QString, text);
        const QByteArray page = site::pageWithHtml(fortune, metaCharset);
        const std::optional<QString> result = extractFortune(page, contentType);
        QVERIFY(result);
        QCOMPARE(*result, text);
    }

    void metaHttpEquiv()
    {
        const QByteArray page = "<html><head><META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; "
                                "charset=iso-8859-1\"></head>";
        QCOMPARE(charsetOfPage(page), QByteArray("iso-8859-1"));
        QCOMPARE(charsetOfPage("<p>charset=utf-8</p>"), QByteArray()); // only a meta tag declares
    }

    void reader_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<bool>("closeAtEnd");
        QTest::addColumn<Progress>("progress");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QByteArray>("body");
        // Only the framing can end this page: the end-of-page test never passes on
        // any part of it, wherever the pieces are cut.
        const QByteArray page = "<p>fortune</p>\n</body></HTML>\r\n";
        const QByteArray length = "Content-Length: " + QByteArray::number(page.size()) + "\r\n";
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        // A response that ends well with this body, or fails for this reason.
        auto ends = [](const char *name, const QByteArray &response, bool closeAtEnd, const QByteArray &body) {
            QTest::newRow(name) << response << closeAtEnd << Progress::Complete << Failure::None << body;
        };
        auto fails = [](const char *name, const QByteArray &response, bool closeAtEnd, Failure failure,
                        const QByteArray &body = {}) {
            QTest::newRow(name) << response << closeAtEnd << Progress::Failed << failure << body;
        };
        const QByteArray chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";

        ends("content-length", ok + length + "\r\n" + page, false, page);
        ends("bytes after content-length ignored", ok + "Content-Length: 5\r\n\r\n" + "abcdeXYZ", false, "abcde");
        ends("bare LF head", "HTTP/1.0 200 OK\n" + length.chopped(2) + "\n\n" + page, false, page);
        ends("chunked, boundary inside the text",
             chunked + "6\r\n" + page.first(6) + "\r\n" + QByteArray::number(page.size() - 6, 16) + ";ext=1\r\n"
                 + page.sliced(6) + "\r\n0\r\n\r\n",
             false, page);
        ends("chunked, last chunk with trailer",
             ok + "Transfer-Encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\nX-Trailer: 1\r\n\r\n", false, "abc");
        QTest::newRow("close-delimited, open") << ok + "Connection: close\r\n\r\n" + page << false << Progress::NeedMore
                                               << Failure::None << page;
        ends("close-delimited, closed", ok + "\r\n" + page, true, page);
        ends("end-of-page test beats a lying length", ok + "Content-Length: 900\r\n\r\n<p>x</p></html>\n", false,
             "<p>x</p></html>\n");
        ends("no HTTP at all", "<html>x</html>\n", false, "<html>x</html>\n");
        ends("interim 100 Continue", "HTTP/1.1 100 Continue\r\n\r\n" + ok + "Content-Length: 2\r\n\r\nhi", false, "hi");
        ends("204", "HTTP/1.1 204 No Content\r\n\r\n", false, {});

        fails("404", "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nno!", false, Failure::Status);
        fails("301", "HTTP/1.1 301 Moved\r\nLocation: /x\r\n\r\n", false, Failure::Status);
        fails("lying length, then closed", ok + "Content-Length: 900\r\n\r\n" + page, true, Failure::Incomplete, page);
        fails("closed before the last chunk", chunked + "3\r\nabc\r\n", true, Failure::Incomplete, "abc");
        fails("closed in the head", ok + "Content-Le", true, Failure::Incomplete);
        fails("closed without a byte", {}, true, Failure::NoAnswer);
        for (const char *size : {"zz", "-5", "0x10", " ", "", "+3"})
            QTest::addRow("chunk size \"%s\"", size) << chunked + size + "\r\nabc\r\n0\r\n\r\n" << false
                                                     << Progress::Failed << Failure::Malformed << QByteArray();
        fails("huge chunk size", chunked + "FFFFFFFFFFFFFFFFFFFFFFFF\r\n", false, Failure::TooLarge);
        fails("endless chunk-size line", chunked + QByteArray(2000, '1'), false, Failure::Malformed);
        fails("chunk longer than its size", chunked + "2\r\nabc\r\n", false, Failure::Malformed, "ab");
        fails("length not a number", ok + "Content-Length: -1\r\n\r\n", false, Failure::Malformed);
        fails("two lengths", ok + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", false, Failure::Malformed);
        fails("length over 8 MiB", ok + "Content-Length: 8388609\r\n\r\n", false, Failure::TooLarge);
        fails("endless headers", ok + QByteArray(70 * 1024, 'h'), false, Failure::Malformed);
        fails("NUL in the head", ok + "X: a" + '\0' + "b\r\nContent-Length: 1\r\n\r\nx", false, Failure::Malformed);
        fails("NUL in the body", ok + "Content-Length: 3\r\n\r\na" + QByteArray(1, '\0') + "b", false,
              Failure::NotText);
        fails("not a status line", "HTTP/1.1 OK\r\n\r\n", false, Failure::Malformed);
    }
    // Every response is fed whole, in 7-byte pieces and byte by byte: where the
    // pieces fall must not change the outcome.
    void reader()
    {
        QFETCH(QByteArray, response);
        QFETCH(bool, closeAtEnd);
        QFETCH(Progress, progress);
        QFETCH(Failure, failure);
        QFETCH(QByteArray, body);
        for (const qsizetype piece : {qsizetype(1), qsizetype(7), std::max<qsizetype>(1, response.size())}) {
            if (piece == 1 && response.size() > 100 * 1024)
                continue;
            ResponseReader reader;
            for (qsizetype at = 0; at < response.size() && reader.progress() == Progress::NeedMore; at += piece)
                reader.feed(QByteArrayView(response).sliced(at, std::min(piece, response.size() - at)));
            if (closeAtEnd)
                reader.closed();
            QCOMPARE(reader.progress(), progress);
            QCOMPARE(reader.failure(), failure);
            if (progress != Progress::Failed || failure == Failure::Incomplete)
                QCOMPARE(reader.body(), body);
        }
    }

    // However the 8 MiB arrive, the reader ends with a message and keeps no more.
    void readerOversized()
    {
        ResponseReader reader;
        reader.feed("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        const QByteArray mebibyte(1024 * 1024, 'x');
        for (int i = 0; i < 9 && reader.progress() == Progress::NeedMore; ++i)
            reader.feed(mebibyte);
        QCOMPARE(reader.progress(), Progress::Failed);
        QCOMPARE(reader.failure(), Failure::TooLarge);
        QVERIFY(reader.body().size() <= ResponseReader::kMaxResponse);
    }

    void statusNamed()
    {
        ResponseReader reader;
        reader.feed("HTTP/1.1 503 Service Unavailable\r\n\r\n");
        QCOMPARE(reader.detail(), QStringLiteral("HTTP status 503 Service Unavailable"));
    }

    void siteOption_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("valid");
        QTest::newRow("host alone") << "fortunes.example" << "fortunes.example" << 80 << true;
        QTest::newRow("host and port") << "127.0.0.1:8080" << "127.0.0.1" << 8080 << true;
        QTest::newRow("IPv6") << "[::1]:8081" << "::1" << 8081 << true;
        QTest::newRow("IPv6, no port") << "[::1]" << "::1" << 80 << true;
        QTest::newRow("highest port") << "h:65535" << "h" << 65535 << true;
        for (const char *bad : {"", "h:", "h:0", "h:65536", "h:80x", "h:+80", "h:-1", "bad host", "a/b:80",
                                "h\r\nX: y", "[::1", "[nothost]:80", "[::1]80", ":80", "h:99999999999"})
            QTest::addRow("bad \"%s\"", bad) << QString::fromLatin1(bad) << QString() << 0 << false;
    }
    void siteOption()
    {
        QFETCH(QString, text);
        QFETCH(QString, host);
        QFETCH(int, port);
        QFETCH(bool, valid);
        const SiteOption option = parseSiteOption(text);
        QCOMPARE(option.ok(), valid);
        if (valid) {
            QCOMPARE(option.site.RemoteHost, host);
            QCOMPARE(int(option.site.RemotePort), port);
            QCOMPARE(option.site.webHost(), QStringLiteral("www.") + host);
        } else {
            QVERIFY(option.error.contains(QStringLiteral("--site")));
        }
    }

    void rewriteReloadFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("fortunes.txt"));
        QVERIFY(testutil::writeFile(path, "old\r\n||||||||||##########||||||||||\r\nmore\r\n"));
        QVERIFY(fortune::rewriteReloadFile(path).ok());
        QCOMPARE(testutil::readFile(path), QByteArray("||||||||||##########||||||||||\r\n"));

        const Status failed = fortune::rewriteReloadFile(dir.filePath(QStringLiteral("no/such/dir/f.txt")));
        QVERIFY(!failed.ok());
        QVERIFY(failed.error.contains(QStringLiteral("no/such/dir")));
    }
};

QTEST_GUILESS_MAIN(TestPages)
#include "tst_pages.moc"
