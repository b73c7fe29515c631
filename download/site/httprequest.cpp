#include "httprequest.h"

#include "httptoken.h"

#include <algorithm>
#include <cstring>

namespace fortune::site {

namespace {

// Bytes no request head holds: control characters but tab, CR and LF.
bool hasControlCharacters(QByteArrayView text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = uchar(c);
        return (u < 0x20 && u != '\t' && u != '\r' && u != '\n') || u == 0x7f;
    });
}

QByteArrayView withoutCr(QByteArrayView line)
{
    return line.endsWith('\r') ? line.chopped(1) : line;
}

// The index of the first LF in text from `from` on, or -1.
qsizetype lineFeedFrom(QByteArrayView text, qsizetype from)
{
    if (from >= text.size())
        return -1;
    const void *lf = std::memchr(text.data() + from, '\n', size_t(text.size() - from));
    return lf ? static_cast<const char *>(lf) - text.data() : -1;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

struct RequestLine {
    int status = 200; // 400 or 505 when it cannot be served
    QByteArrayView method, target;
    bool http11 = false;
};

RequestLine parseRequestLine(QByteArrayView line)
{
    RequestLine request;
    const qsizetype first = line.indexOf(' ');
    const qsizetype second = first < 0 ? -1 : line.indexOf(' ', first + 1);
    if (second < 0 || line.indexOf(' ', second + 1) >= 0) {
        request.status = 400;
        return request;
    }
    request.method = line.first(first);
    request.target = line.sliced(first + 1, second - first - 1);
    const QByteArrayView version = line.sliced(second + 1);
    const bool wellFormed = version.size() == 8 && version.startsWith("HTTP/") && isDigit(version[5])
                            && version[6] == '.' && isDigit(version[7]);
    if (!isToken(request.method) || request.target.isEmpty() || !wellFormed)
        request.status = 400;
    else if (version[5] != '1')
        request.status = 505;
    request.http11 = wellFormed && version != "HTTP/1.0";
    return request;
}

bool hasListToken(QByteArrayView list, QByteArrayView token)
{
    for (qsizetype at = 0; at <= list.size();) {
        qsizetype comma = list.indexOf(',', at);
        if (comma < 0)
            comma = list.size();
        if (list.sliced(at, comma - at).trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
        at = comma + 1;
    }
    return false;
}

struct Fields {
    int hosts = 0;
    bool close = false, keepAlive = false, body = false;
};

// The header fields after the request line; false for one that is not a field.
bool readFields(QByteArrayView head, qsizetype at, Fields &fields)
{
    for (qsizetype lineEnd; (lineEnd = head.indexOf('\n', at)) >= 0; at = lineEnd + 1) {
        const QByteArrayView field = withoutCr(head.sliced(at, lineEnd - at));
        if (field.isEmpty())
            return true;
        const qsizetype colon = field.indexOf(':');
        if (colon < 0 || !isToken(field.first(colon))) // a folded line, a blank before the colon
            return false;
        const QByteArrayView name = field.first(colon);
        const QByteArrayView value = field.sliced(colon + 1).trimmed();
        if (name.compare("host", Qt::CaseInsensitive) == 0) {
            ++fields.hosts;
        } else if (name.compare("connection", Qt::CaseInsensitive) == 0) {
            fields.close = fields.close || hasListToken(value, "close");
            fields.keepAlive = fields.keepAlive || hasListToken(value, "keep-alive");
        } else if (name.compare("transfer-encoding", Qt::CaseInsensitive) == 0) {
            fields.body = true;
        } else if (name.compare("content-length", Qt::CaseInsensitive) == 0) {
            bool number = false;
            const qlonglong length = value.toLongLong(&number);
            if (!number || length < 0)
                return false;
            fields.body = fields.body || length > 0;
        }
    }
    return true;
}

// The path of a request target, without a query; the absolute form's too.
QByteArrayView pathOf(QByteArrayView target)
{
    if (target.startsWith("http://") || target.startsWith("https://")) {
        const qsizetype slash = target.indexOf('/', target.indexOf("//") + 2);
        target = slash < 0 ? QByteArrayView("/") : target.sliced(slash);
    }
    if (const qsizetype query = target.indexOf('?'); query >= 0)
        target.truncate(query);
    return target;
}

} // namespace

Request parseHead(QByteArrayView head)
{
    Request request;
    const qsizetype lineEnd = head.indexOf('\n');
    const RequestLine line = parseRequestLine(withoutCr(head.first(lineEnd)));
    Fields fields;
    if (line.status != 200 || !readFields(head, lineEnd + 1, fields) || (line.http11 && fields.hosts != 1)) {
        request.status = line.status != 200 ? line.status : 400;
        return request;
    }
    request.keepAlive = !fields.body && (line.http11 ? !fields.close : fields.keepAlive);
    request.headOnly = line.method == "HEAD";
    if (line.method != "GET" && !request.headOnly)
        request.status = 405;
    else if (pathOf(line.target) != "/fortune.shtml")
        request.status = 404;
    return request;
}

void RequestReader::feed(QByteArrayView bytes)
{
    if (m_ended)
        return;
    // What was read goes once it is at least half the buffer, so every byte
    // is moved a bounded number of times.
    if (m_start > 0 && m_start >= m_buffer.size() / 2) {
        m_buffer.remove(0, m_start);
        m_scan -= m_start;
        m_lineStart -= m_start;
        m_start = 0;
    }
    m_buffer.append(bytes);
}

std::optional<Request> RequestReader::next()
{
    if (m_ended)
        return std::nullopt;
    const QByteArrayView buffer(m_buffer);
    if (m_scan == m_start) {
        while (m_start < buffer.size() && (buffer[m_start] == '\r' || buffer[m_start] == '\n'))
            ++m_start;
        m_scan = m_lineStart = m_start;
    }
    const qsizetype limit = std::min(buffer.size(), m_start + m_maxHead);
    while (m_scan < limit) {
        const qsizetype lf = lineFeedFrom(buffer.first(limit), m_scan);
        if (hasControlCharacters(buffer.sliced(m_scan, (lf < 0 ? limit : lf) - m_scan)))
            return finish({400});
        if (lf < 0) {
            m_scan = limit;
            break;
        }
        m_scan = lf + 1;
        const QByteArrayView line = withoutCr(buffer.sliced(m_lineStart, lf - m_lineStart));
        m_lineStart = m_scan;
        if (!m_lineChecked) {
            m_lineChecked = true;
            if (const int status = parseRequestLine(line).status; status != 200)
                return finish({status});
        } else if (line.isEmpty()) {
            const Request request = parseHead(buffer.sliced(m_start, m_scan - m_start));
            m_start = m_scan;
            m_lineChecked = false;
            return finish(request);
        }
    }
    // maxHead bytes came, and more, without the head's end.
    if (buffer.size() - m_start > m_maxHead)
        return finish({431});
    return std::nullopt;
}

std::optional<Request> RequestReader::finish(Request request)
{
    if (request.status != 200 && request.status != 404 && request.status != 405)
        request.keepAlive = false;
    m_ended = !request.keepAlive;
    return request;
}

qsizetype requestHeadLength(QByteArrayView buffer)
{
    for (qsizetype at = 0, lf; (lf = lineFeedFrom(buffer, at)) >= 0; at = lf + 1) {
        if (at > 0 && withoutCr(buffer.sliced(at, lf - at)).isEmpty())
            return lf + 1;
    }
    return -1;
}

} // namespace fortune::site
