#include "sitepage.h"

#include "fortunesformat.h"

namespace fortune::site {

namespace {
constexpr QByteArrayView kMarker{
    R"(<table BORDER="1" WIDTH="95%" CELLPADDING="15" CELLSPACING="0" align="center">)"};
// What stands between the marker and the fortune: exactly 52 characters.
constexpr QByteArrayView kLead{"\n  <tr>\n<td bgcolor=\"#ffffee\">\n<p class=\"fortunes\">\n"};
static_assert(kMarker.size() == 78 && kLead.size() == 52);
// Downloads leave out the last four characters before "</p>".
constexpr QByteArrayView kFiller{"\r\n  "};
static_assert(kFiller.size() == 4);
} // namespace

QByteArray pageWithHtml(QByteArrayView fortuneHtml, QByteArrayView charset)
{
    QByteArray page;
    page.reserve(fortuneHtml.size() + 400);
    page += "<html>\n<head>\n";
    if (!charset.isEmpty())
        page += "<meta charset=\"" + charset.toByteArray() + "\">\n";
    page += "<title>Fortune</title>\n</head>\n<body>\n";
    page += kMarker;
    page += kLead;
    page += fortuneHtml;
    page += kFiller;
    page += "</p>\n</td>\n</tr>\n</table>\n</body>\n</html>\n";
    return page;
}

QByteArray fortunePage(QByteArrayView fortune)
{
    QByteArray html = fortune.toByteArray();
    if (html.endsWith(kCrLf)) // the record form's last line end
        html.chop(kCrLf.size());
    html.replace(kCrLf, "<BR>");
    return pageWithHtml(html);
}

QByteArray okResponse(QByteArrayView body, bool keepAlive, QByteArrayView contentType)
{
    QByteArray response = "HTTP/1.1 200 OK\r\nContent-Type: " + contentType.toByteArray()
                          + "\r\nContent-Length: " + QByteArray::number(body.size())
                          + (keepAlive ? "\r\nConnection: keep-alive\r\n\r\n" : "\r\nConnection: close\r\n\r\n");
    response += body;
    return response;
}

qsizetype requestHeadLength(QByteArrayView buffer)
{
    const qsizetype crlf = buffer.indexOf("\r\n\r\n");
    const qsizetype lf = buffer.indexOf("\n\n");
    if (crlf >= 0 && (lf < 0 || crlf + 2 <= lf))
        return crlf + 4;
    return lf >= 0 ? lf + 2 : -1;
}

} // namespace fortune::site
