#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <optional>

namespace fortune::site {

// What fortune-site makes of one request.
struct Request {
    int status = 200;       // 200: the fortune page; otherwise the status of the answer
    bool headOnly = false;  // HEAD: the answer without its body
    bool keepAlive = false; // the connection goes on after the answer
    bool operator==(const Request &) const = default;
};

// What to answer to a whole request head (its empty line included): 400 for
// what is not a request as HTTP/1.1 has it (an HTTP/1.1 one needs exactly one
// Host), 505 for a version other than HTTP/1.x, 405 for a method other than
// GET and HEAD, 404 for another path than /fortune.shtml. HTTP/1.0 is kept
// alive only when it asks; any later HTTP/1.x is read as HTTP/1.1. A body is
// never read: a request that announces one ends the connection.
Request parseHead(QByteArrayView head);

// The requests of one connection, read as its bytes come. Each byte is looked
// at a bounded number of times however the bytes are cut up, so a client that
// pipelines many requests in one write costs time in proportion to them.
// Garbage is refused as soon as it is seen: a byte that no head holds or a
// request line that is not one at once, a head over maxHead when that many
// bytes have come without its end. A refusal, or a request that ends the
// connection, is the last one; what follows it is never read.
class RequestReader {
public:
    explicit RequestReader(qsizetype maxHead = 8 * 1024) : m_maxHead(maxHead) {}

    // Bytes the client sent, in order. Ignored once the last request was read.
    void feed(QByteArrayView bytes);
    // The next request, or nothing until more bytes come (or after the last).
    // Empty lines before a request are passed over.
    std::optional<Request> next();
    // Bytes fed that no request took yet, after next() gave nothing: a bound
    // on them is the caller's bound on reading ahead.
    qsizetype buffered() const { return m_buffer.size() - m_start; }
    // The last request was read: nothing more is.
    bool ended() const { return m_ended; }

private:
    std::optional<Request> finish(Request request);

    qsizetype m_maxHead;
    QByteArray m_buffer;
    qsizetype m_start = 0;     // where the head under way begins; what is before it was read
    qsizetype m_lineStart = 0; // where its line under way begins
    qsizetype m_scan = 0;      // the first byte not looked at
    bool m_lineChecked = false; // its request line was whole and looked at
    bool m_ended = false;
};

// The length of a whole request head at the start of buffer (with its empty
// line), or -1 while it is incomplete.
qsizetype requestHeadLength(QByteArrayView buffer);

} // namespace fortune::site
