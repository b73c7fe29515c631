#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace fortune::site {

// A fortune page in the layout downloads expect (extraction.h): the table
// marker, the 52 characters that bring the fortune to its start offset, the
// fortune, four filler characters, the end marker, ending "</html>\n".
// fortuneHtml goes in as it is; charset, when given, is declared in a meta tag.
QByteArray pageWithHtml(QByteArrayView fortuneHtml, QByteArrayView charset = "utf-8");

// The page for a fortune as the collection holds it (CR LF after every line):
// its lines joined by "<BR>".
QByteArray fortunePage(QByteArrayView fortune);

// The status line and header fields of a 200 answer with Content-Length;
// "Connection: close" unless keepAlive.
QByteArray okHead(qsizetype bodySize, bool keepAlive, QByteArrayView contentType = "text/html; charset=utf-8");
// The whole answer: okHead, then body.
QByteArray okResponse(QByteArrayView body, bool keepAlive,
                      QByteArrayView contentType = "text/html; charset=utf-8");

// Does a collector take the answer that carries this fortune's page? It
// refuses one larger than it ever reads (ResponseReader::kMaxResponse).
bool answerFits(QByteArrayView fortune);

} // namespace fortune::site
