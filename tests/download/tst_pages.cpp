// The parts of a download that need no network: the end-of-page test, the
// fortune cut out of a page, converted and decoded, HTTP framing, the --site
// value and the reload file the hidden extraction test rewrites.
#include "../testutil.h"
#include "extraction.h"
#include "responsereader.h"
#include "sitepage.h"
#include "sitesettings.h"

#include <QTemporaryDir>
#include <QTest>

using namespace fortune;
using namespace Qt::StringLiterals;
using Progress = ResponseReader::Progress;
using Failure = ResponseReader::Failure;

namespace {
// A page with the marker and exactly the 52 characters after it, then the rest.
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
        for (const char *yes : {"<p>x</p></html>\n", "</html>", "abc</html>x"})
            QTest::addRow("passes: %s", yes) << QByteArray(yes) << true;
        for (const char *no : {"<p>x</p></html>", "<p>x</p></html>\r\n", "<p>x</p></HTML>\n", "x</html>", "", "</h"})
            QTest::addRow("fails: %s", no) << QByteArray(no) << false;
    }
    void endOfPage()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(bool, passes);
        QCOMPARE(isEndOfPage(buffer), passes);
    }

    // The fortune of a page: cut 130 after the table marker up to "</p>", every
    // "<BR>" made CR LF but the last four characters dropped, decoded by the
    // charset the header, else the page, declares.
    void fortune_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("page");
        QTest::addColumn<QString>("text");       // null: none, or refused
        QTest::addColumn<QString>("unreadable"); // why it was refused
        auto row = [](const char *name, const QByteArray &page, const QString &text, const char *unreadable = "",
                      const QByteArray &contentType = {}) {
            QTest::newRow(name) << contentType << page << text << QString::fromUtf8(unreadable);
        };
        auto declared = [&](const char *name, const QByteArray &contentType, const QByteArray &html,
                            const QByteArray &meta, const QString &text, const char *unreadable = "") {
            row(name, site::pageWithHtml(html, meta), text, unreadable, contentType);
        };
        row("12-character cut, digits dropped", pageAround("ab<BR>cd1234</p>"), "ab\r\ncd");
        row("7: tag among the last four", pageAround("xyz<BR></p>"), "xyz");
        row("6: tag at L-4 still replaced", pageAround("x<BR>y</p>"), "x\r\n");
        row("end marker right at the start", pageAround("</p>"), "");
        row("first end marker counts", pageAround("abcde</p>fghij</p>"), "a");
        row("lower-case tag and raw breaks kept", pageAround("a<br>b\n<i>c</i>&amp;....</p>"), "a<br>b\n<i>c</i>&amp;");
        row("tags in a row", pageAround("<BR><BR>z....</p>"), "\r\n\r\nz");
        row("fortune-site layout", site::fortunePage("One\r\nTwo\r\n"), "One\r\nTwo");
        row("no table marker", QByteArray(200, 'x') + "</p>", {});
        row("no end marker", pageAround("fortune without end"), {});
        row("end marker inside the 52", kTableMarker.toByteArray() + "</p>" + QByteArray(48, '.') + "abcde</p>", "a");
        row("page ends inside the 52", kTableMarker.toByteArray() + "</p>", {});
        declared("quoted header charset", "text/html;charset=\"utf-8\"", "caf\xc3\xa9", {}, "caf\u00e9");
        declared("header wins over meta", "text/html; charset=windows-1252", "caf\xc3\xa9", "utf-8", "caf\u00c3\u00a9");
        declared("undeclared UTF-8, across 16 bytes", {}, "fifteen bytes: \xc3\xa9", {}, "fifteen bytes: \u00e9");
        declared("undeclared, not UTF-8: Windows-1252", {}, "\x80\x81 5", {}, QStringLiteral("\u20ac\u0081 5"));
        declared("ASCII read as browsers do", "text/html; charset=us-ascii", "\x93hi\x94", {}, "\u201chi\u201d");
        declared("Shift_JIS", "text/html; charset=shift_jis", "\x93\xfa\x96\x7b", {}, QStringLiteral("\u65e5\u672c"));
        declared("KOI8-R in the page", "text/html", "\xf0\xd2\xc9", "KOI8-R", QStringLiteral("\u041f\u0440\u0438"));
        row("charset in an attribute in single quotes", "<meta http-equiv='Content-Type' content='text/html; charset=us-ascii'>"
            + site::pageWithHtml("\x93hi\x94", {}), "\u201chi\u201d");
        row("NUL bytes around the fortune", '\0' + site::pageWithHtml("ok") + '\0', "ok");
        declared("NUL in the fortune", {}, QByteArray("a\0b", 3), {}, {}, "NUL");
        declared("declared UTF-8 but is not", "text/html; charset=utf-8", "\x93hi\x94", {}, {}, "not valid UTF-8");
        declared("not valid Shift_JIS", "text/html; charset=shift_jis", "ab\x82", {}, {}, "not valid Shift_JIS");
        declared("unknown charset", "text/html; charset=x-unknown", "ab", {}, {}, "\"x-unknown\" is unknown");
    }
    void fortune()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, page);
        QFETCH(QString, text);
        QFETCH(QString, unreadable);
        const PageFortune fortune = extractFortune(page, contentType);
        QCOMPARE(fortune.text.value_or(QString()), text);
        QCOMPARE(fortune.text.has_value(), !text.isNull());
        QVERIFY2(fortune.unreadable.contains(unreadable) && fortune.unreadable.isEmpty() == unreadable.isEmpty(),
                 qPrintable(fortune.unreadable));
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

    void reader_data()
    {
        QTest::addColumn<QByteArray>("response");
        QTest::addColumn<bool>("closeAtEnd");
        QTest::addColumn<Failure>("failure"); // None: the page is complete
        QTest::addColumn<QString>("detail"); // what detail() says, in part
        QTest::addColumn<QByteArray>("body");
        // Only the framing can end this page: the end-of-page test never passes on
        // any part of it, wherever the pieces are cut.
        const QByteArray page = "<p>fortune</p>\n</body></HTML>\r\n";
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        const QByteArray length = "Content-Length: " + QByteArray::number(page.size()) + "\r\n";
        const QByteArray chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
        auto ends = [](const char *name, const QByteArray &response, bool closeAtEnd, const QByteArray &body) {
            QTest::newRow(name) << response << closeAtEnd << Failure::None << QString() << body;
        };
        auto fails = [](const char *name, const QByteArray &response, bool closeAtEnd, Failure failure,
                        const char *detail, const QByteArray &body = {}) {
            QTest::newRow(name) << response << closeAtEnd << failure << QString::fromUtf8(detail) << body;
        };
        ends("content-length", ok + length + "\r\n" + page, false, page);
        ends("NUL and bytes after the length", ok + "Content-Length: 5\r\n\r\nab" + '\0' + "deXYZ", false,
             QByteArray("ab\0de", 5));
        ends("bare LF head", "HTTP/1.0 200 OK\n" + length.chopped(2) + "\n\n" + page, false, page);
        ends("chunked, boundary inside the text",
             chunked + "6\r\n" + page.first(6) + "\r\n" + QByteArray::number(page.size() - 6, 16) + ";ext=1\r\n"
                 + page.sliced(6) + "\r\n0\r\nX-Trailer: 1\r\n\r\n",
             false, page);
        ends("close-delimited, closed", ok + "Connection: close\r\n\r\n" + page, true, page);
        ends("end-of-page test beats a lying length", ok + "Content-Length: 900\r\n\r\nx</html>\n", false, "x</html>\n");
        ends("no HTTP at all", "<html>x</html>\n", false, "<html>x</html>\n");
        ends("interim 100 Continue", "HTTP/1.1 100 Continue\r\n\r\n" + ok + "Content-Length: 2\r\n\r\nhi", false, "hi");
        ends("204", "HTTP/1.1 204 No Content\r\n\r\n", false, {});
        for (const char *status : {"301 Moved Permanently", "404 Not Found"}) // a redirect is no page either
            fails(status, "HTTP/1.1 " + QByteArray(status) + "\r\nContent-Length: 3\r\n\r\nno!", false, Failure::Status,
                  status);
        fails("lying length, then closed", ok + "Content-Length: 900\r\n\r\n" + page, true, Failure::Incomplete,
              "closed 869 bytes before the announced end", page);
        fails("closed before the last chunk", chunked + "3\r\nabc\r\n", true, Failure::Incomplete, "last chunk", "abc");
        fails("closed in the head", ok + "Content-Le", true, Failure::Incomplete, "headers");
        fails("closed without a byte", {}, true, Failure::NoAnswer, "without an answer");
        for (const char *size : {"zz", "-5", "0x10", " ", "", "+3"})
            fails(qPrintable(QStringLiteral("chunk size \"%1\"").arg(size)), chunked + size + "\r\nabc\r\n0\r\n\r\n",
                  false, Failure::Malformed, "not a hexadecimal number");
        fails("chunk size just over 8 MiB", chunked + "800001\r\n", false, Failure::TooLarge, "8 MiB");
        fails("endless chunk-size line", chunked + QByteArray(2000, '1'), false, Failure::Malformed, "1 KiB");
        fails("chunk longer than its size", chunked + "2\r\nabc\r\n", false, Failure::Malformed, "longer", "ab");
        fails("past 8 MiB", ok + "\r\n" + QByteArray(1024 * 1024, 'x').repeated(9), false, Failure::TooLarge, "8 MiB");
        fails("length not a number", ok + "Content-Length: -1\r\n\r\n", false, Failure::Malformed, "\"-1\"");
        fails("two lengths", ok + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", false, Failure::Malformed,
              "two different");
        fails("length over 8 MiB", ok + "Content-Length: 8388609\r\n\r\n", false, Failure::TooLarge, "8 MiB");
        fails("endless headers", ok + QByteArray(70 * 1024, 'h'), false, Failure::Malformed, "64 KiB");
        fails("NUL in the head", ok + "X: a" + '\0' + "b\r\n\r\nx", false, Failure::Malformed, "NUL");
        fails("not a status line", "HTTP/1.1 OK\r\n\r\n", false, Failure::Malformed, "status line");
        fails("gzip content", ok + "Content-Encoding: gzip\r\n" + length + "\r\n" + page, false, Failure::Malformed,
              "Content-Encoding: gzip");
        fails("gzip transfer", ok + "Transfer-Encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n", false,
              Failure::Malformed, "Transfer-Encoding: gzip");
    }
    // Every response is fed whole, in 7-byte pieces and byte by byte (large ones
    // in 64 KiB pieces): where the pieces fall must not change the outcome.
    void reader()
    {
        QFETCH(QByteArray, response);
        QFETCH(bool, closeAtEnd);
        QFETCH(Failure, failure);
        QFETCH(QString, detail);
        QFETCH(QByteArray, body);
        const QList<qsizetype> pieces = response.size() > 100'000 ? QList<qsizetype>{65536, response.size()}
                                                                   : QList<qsizetype>{1, 7, response.size()};
        for (const qsizetype piece : pieces) {
            ResponseReader reader;
            for (qsizetype at = 0; at < response.size() && reader.progress() == Progress::NeedMore; at += piece)
                reader.feed(QByteArrayView(response).sliced(at, std::min(piece, response.size() - at)));
            if (closeAtEnd)
                reader.closed();
            QCOMPARE(reader.progress(), failure == Failure::None ? Progress::Complete : Progress::Failed);
            QCOMPARE(reader.failure(), failure);
            QVERIFY2(reader.detail().contains(detail) && reader.detail().isEmpty() == detail.isEmpty(),
                     qPrintable(reader.detail()));
            QVERIFY(reader.receivedBytes() <= ResponseReader::kMaxResponse);
            if (failure == Failure::None || failure == Failure::Incomplete)
                QCOMPARE(reader.body(), body);
        }
    }

    // A site as typed or pasted: HOST[:PORT], IPv6 in brackets, or the address fortune-site prints; a
    // path other than the page's is dropped with a note (refused by --site); international names in
    // their ASCII form; anything that could break the request or cannot be a host name refused, the
    // typed text quoted short.
    void site_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("site"); // RemoteHost:RemotePort; empty: refused
        QTest::addColumn<QString>("said"); // in the note, or in the reason
        const auto row = [](const QString &text, const char *site, const char *said = "") {
            QTest::newRow(qPrintable(text.left(40).simplified())) << text << QString::fromUtf8(site) << QString::fromUtf8(said);
        };
        for (const auto &[text, site] : {std::pair("fortunes.example", "fortunes.example:80"), {"127.0.0.1:8080", "127.0.0.1:8080"},
                                         {"[::1]:8081", "::1:8081"}, {"[::1]", "::1:80"}, {"h:65535", "h:65535"}, {"a_b", "a_b:80"},
                                         {"[fe80::1%eth0]:8080", "fe80::1%eth0:8080"}, {"[::ffff:1.2.3.4]", "::ffff:1.2.3.4:80"},
                                         {"http://127.0.0.1:8080/fortune.shtml", "127.0.0.1:8080"}, {"HTTP://[::1]:8080/", "::1:8080"},
                                         {"127.0.0.1:8080/fortune.shtml", "127.0.0.1:8080"}, {"http://h", "h:80"},
                                         {"b\u00fccher.example:8080", "xn--bcher-kva.example:8080"}})
            row(QString::fromUtf8(text), site);
        row(u"http://h:81/other.html?x=1"_s, "h:81", "not \"/other.html?x=1\"");
        row(u"h?x"_s, "h:80", "not \"?x\"");
        for (const char *bad : {"", "h:", "h:65536", "h:80x", "h:+80", "h:-1", "h\r\nX: y", "[::1", "[nothost]:80", "[::1]80",
                                "h:99999999999", "[1.2.3.4]:80", "[v1.x]:80", "[1::2::3]", "[::1%a%b]", "[%eth0]", "\u00fc \u00fc",
                                "[::1\r\n]", "[ ::1]"})
            row(QString::fromUtf8(bad), "");
        row(u"h:0"_s, "", "not \"0\"");
        row(u"bad host"_s, "", "\"bad host\" is not a host name");
        row(u":80"_s, "", "no host name");
        for (const char *empty : {"..", "a..b", "h.", ".h"})
            row(QString::fromLatin1(empty), "", "empty parts");
        for (const char *hyphen : {"-", "-a.b", "a-.b"})
            row(QString::fromLatin1(hyphen), "", "hyphen");
        row(QString(64, u'a'), "", "63 characters");
        row(u"https://h/"_s, "", "not \"https://\"");
        row(u"h:"_s + QString(3000, u'9'), "", "\"999999999999999999999999999999\u2026");
    }
    void site()
    {
        QFETCH(QString, text);
        QFETCH(QString, site);
        QFETCH(QString, said);
        const SiteOption parsed = parseSite(text);
        const QString got = parsed.ok() ? parsed.site.RemoteHost + u':' + QString::number(parsed.site.RemotePort) : QString();
        QVERIFY2(got == site, qPrintable(got + parsed.error));
        const QString told = parsed.ok() ? parsed.note : parsed.error;
        QVERIFY2(told.contains(said) && told.size() < 200 && (parsed.ok() || !told.isEmpty()), qPrintable(told));
        QCOMPARE(parsed.note.isEmpty(), !parsed.ok() || said.isEmpty());
        QCOMPARE(parsed.site.webHost(), u"www."_s + parsed.site.RemoteHost);
        QVERIFY(!parsed.site.placeholder);
        const SiteOption option = parseSiteOption(text); // a path that would be dropped is refused there
        QVERIFY2(option.ok() ? parsed.note.isEmpty() : option.error.startsWith(u"--site "_s), qPrintable(option.error));
        QCOMPARE(option.ok(), parsed.ok() && parsed.note.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPages)
#include "tst_pages.moc"
