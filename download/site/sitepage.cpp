#include "sitepage.h"

#include "extraction.h"
#include "fortunesformat.h"
#include "responsereader.h"

namespace fortune::site {

namespace {
// What stands between the table marker and the fortune.
constexpr QByteArrayView kLead{"\n  <tr>\n<td bgcolor=\"#ffffee\">\n<p class=\"fortunes\">\n"};
static_assert(kTableMarker.size() + kLead.size() == kStartOffset);
// Downloads leave out the last four characters before the end marker.
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
    page += kTableMarker;
    page += kLead;
    page += fortuneHtml;
    page += kFiller;
    page += kEndMarker;
    page += "\n</td>\n</tr>\n</table>\n</body>\n</html>\n";
    return page;
}

QByteArray fortunePage(QByteArrayView fortune)
{
    QByteArray html = fortune.toByteArray();
    if (html.endsWith(kCrLf)) // the record form's last line end
        html.chop(kCrLf.size());
    html.replace(kCrLf, kBreakTag);
    return pageWithHtml(html);
}

QByteArray okHead(qsizetype bodySize, bool keepAlive, QByteArrayView contentType)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: " + contentType.toByteArray()
           + "\r\nContent-Length: " + QByteArray::number(bodySize)
           + (keepAlive ? "\r\nConnection: keep-alive\r\n\r\n" : "\r\nConnection: close\r\n\r\n");
}

QByteArray okResponse(QByteArrayView body, bool keepAlive, QByteArrayView contentType)
{
    QByteArray response = okHead(body.size(), keepAlive, contentType);
    response += body;
    return response;
}

bool answerFits(QByteArrayView fortune)
{
    // A page is at most twice its fortune and a few hundred bytes more: only
    // a large fortune's page is built to be measured.
    if (fortune.size() <= ResponseReader::kMaxResponse / 2 - 1024)
        return true;
    const qsizetype page = fortunePage(fortune).size();
    return okHead(page, true).size() + page <= ResponseReader::kMaxResponse;
}

} // namespace fortune::site
