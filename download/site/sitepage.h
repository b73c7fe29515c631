#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace fortune::site {

// A fortune page in the layout downloads expect: the table marker, 52 more
// characters, the fortune, four filler characters, "</p>", ending "</html>\n".
// fortuneHtml goes in as it is; charset, when given, is declared in a meta tag.
QByteArray pageWithHtml(QByteArrayView fortuneHtml, QByteArrayView charset = "utf-8");

// The page for a fortune as the collection holds it (CR LF after every line):
// its lines joined by "<BR>".
QByteArray fortunePage(QByteArrayView fortune);

// A whole 200 answer with Content-Length; "Connection: close" unless keepAlive.
QByteArray okResponse(QByteArrayView body, bool keepAlive,
                      QByteArrayView contentType = "text/html; charset=utf-8");

// The length of a complete request head at the start of buffer (up to and with
// its empty line), or -1 while it is incomplete.
qsizetype requestHeadLength(QByteArrayView buffer);

} // namespace fortune::site
