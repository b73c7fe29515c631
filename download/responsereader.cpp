#include "responsereader.h"

#include "extraction.h"

#include <QDateTime>
#include <QList>

#include <algorithm>

namespace fortune {

namespace {

QByteArrayView trimmed(QByteArrayView v)
{
    while (!v.isEmpty() && (v.front() == ' ' || v.front() == '\t'))
        v = v.sliced(1);
    while (!v.isEmpty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r'))
        v.chop(1);
    return v;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Bytes from the wire, fit to be quoted in a message.
QString quoted(QByteArrayView bytes)
{
    QString text;
    for (char c : bytes.first(std::min<qsizetype>(bytes.size(), 24))) {
        const auto u = static_cast<unsigned char>(c);
        text += (u >= 0x20 && u < 0x7f) ? QChar(u) : QChar(u'?');
    }
    if (bytes.size() > 24)
        text += QStringLiteral("...");
    return u'"' + text + u'"';
}

// Retry-After: a number of seconds, or the date to wait for.
std::optional<std::chrono::seconds> retryDelay(QByteArrayView value)
{
    if (!value.isEmpty() && std::all_of(value.begin(), value.end(), isDigit))
        return std::chrono::seconds(value.size() > 9 ? 999'999'999 : value.toLongLong());
    // HTTP's dates end in "GMT", which Qt reads only as an offset.
    const QByteArray date = value.endsWith(" GMT") ? value.chopped(3).toByteArray() + "+0000" : value.toByteArray();
    const QDateTime at = QDateTime::fromString(QString::fromLatin1(date), Qt::RFC2822Date);
    if (!at.isValid())
        return std::nullopt;
    return std::chrono::seconds(std::max<qint64>(0, QDateTime::currentDateTimeUtc().secsTo(at)));
}

} // namespace

void ResponseReader::reset()
{
    *this = ResponseReader();
}

ResponseReader::Progress ResponseReader::fail(Failure failure, QString detail)
{
    m_phase = Phase::Done;
    m_progress = Progress::Failed;
    m_failure = failure;
    m_detail = std::move(detail);
    m_pending.clear();
    return m_progress;
}

ResponseReader::Progress ResponseReader::complete()
{
    m_phase = Phase::Done;
    m_progress = Progress::Complete;
    m_pending.clear();
    return m_progress;
}

struct ResponseReader::Fields {
    qsizetype contentLength = -1;
    bool chunked = false;
    QByteArray unaskedCoding; // "Content-Encoding: gzip", when the body is so encoded
};

ResponseReader::Progress ResponseReader::feed(QByteArrayView data)
{
    if (m_progress != Progress::NeedMore || data.isEmpty())
        return m_progress;
    if (data.size() > kMaxResponse - m_received)
        return fail(Failure::TooLarge, QStringLiteral("the answer is larger than 8 MiB"));
    m_received += data.size();
    m_pending.append(data);

    while (m_phase == Phase::Head) {
        if (m_status == 0 && m_headScan == 0) {
            // A server that answers without any HTTP status line sends the page alone.
            constexpr QByteArrayView http{"HTTP/"};
            const qsizetype n = std::min(m_pending.size(), http.size());
            if (QByteArrayView(m_pending).first(n) != http.first(n)) {
                m_framing = Framing::None;
                m_phase = Phase::Body;
                break;
            }
            if (n < http.size())
                return m_progress;
        }
        const qsizetype end = headLength();
        if (end > kMaxHead || (end < 0 && m_pending.size() > kMaxHead))
            return fail(Failure::Malformed, QStringLiteral("its headers are longer than 64 KiB"));
        if (end < 0)
            return m_progress;
        const QByteArray head = m_pending.first(end);
        m_pending.remove(0, end);
        m_headScan = 0;
        if (!parseHead(head))
            return m_progress;
    }
    if (m_phase == Phase::Body)
        return parseBody();
    return m_progress;
}

// The length of the head in m_pending up to and with its empty line (CR LF CR
// LF, or bare LFs), or -1 while the empty line has not come.
qsizetype ResponseReader::headLength()
{
    for (qsizetype nl = m_pending.indexOf('\n', m_headScan); nl >= 0; nl = m_pending.indexOf('\n', nl + 1)) {
        const qsizetype next = nl + 1;
        if (next < m_pending.size() && m_pending[next] == '\n')
            return next + 1;
        if (next + 1 < m_pending.size() && m_pending[next] == '\r' && m_pending[next + 1] == '\n')
            return next + 2;
        if (next + 1 >= m_pending.size())
            break; // the next line has not fully begun yet; look here again
    }
    m_headScan = std::max<qsizetype>(0, m_pending.size() - 3);
    return -1;
}

bool ResponseReader::parseHead(QByteArrayView head)
{
    if (head.contains('\0')) {
        fail(Failure::Malformed, QStringLiteral("its headers hold NUL bytes"));
        return false;
    }
    qsizetype pos = 0;
    auto nextLine = [&]() {
        const qsizetype nl = head.indexOf('\n', pos);
        QByteArrayView line = head.sliced(pos, nl - pos);
        pos = nl + 1;
        return line.endsWith('\r') ? line.chopped(1) : line;
    };
    QByteArray reason;
    if (!parseStatusLine(nextLine(), reason))
        return false;
    Fields fields;
    for (QByteArrayView line = nextLine(); !line.isEmpty(); line = nextLine()) {
        if (!parseField(line, fields))
            return false;
    }
    if (m_status >= 100 && m_status < 200 && m_status != 101) {
        // An interim answer ("100 Continue"); the real one follows.
        m_status = 0;
        m_contentType.clear();
        m_retryAfter.reset();
        return true;
    }
    if (m_status < 200 || m_status > 299) {
        fail(Failure::Status, QStringLiteral("HTTP status %1 %2").arg(m_status).arg(QString::fromLatin1(reason)).trimmed());
        return false;
    }
    if (!fields.unaskedCoding.isEmpty()) {
        fail(Failure::Malformed, QStringLiteral("it comes with %1, an encoding the request did not ask for")
                                     .arg(quoted(fields.unaskedCoding)));
        return false;
    }
    return chooseFraming(fields);
}

// "HTTP/1.1 200 OK"
bool ResponseReader::parseStatusLine(QByteArrayView line, QByteArray &reason)
{
    const qsizetype space = line.indexOf(' ');
    const QByteArrayView code =
        space < 0 ? QByteArrayView() : line.sliced(space + 1).first(std::min<qsizetype>(3, line.size() - space - 1));
    const bool versionOk = space == 8 && isDigit(line[5]) && line[6] == '.' && isDigit(line[7]);
    const bool codeOk = code.size() == 3 && std::all_of(code.begin(), code.end(), isDigit)
                        && (line.size() == space + 4 || line[space + 4] == ' ');
    if (!versionOk || !codeOk) {
        fail(Failure::Malformed, QStringLiteral("its status line %1 is not HTTP").arg(quoted(line)));
        return false;
    }
    m_status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
    reason = trimmed(line.sliced(space + 4)).toByteArray();
    return true;
}

bool ResponseReader::parseField(QByteArrayView line, Fields &fields)
{
    if (line.front() == ' ' || line.front() == '\t')
        return true; // an old folded continuation; none of ours is ever folded
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return true;
    const QByteArray name = line.first(colon).toByteArray().toLower();
    const QByteArrayView value = trimmed(line.sliced(colon + 1));
    if (name == "content-length") {
        if (value.isEmpty() || value.size() > 15 || !std::all_of(value.begin(), value.end(), isDigit)) {
            fail(Failure::Malformed, QStringLiteral("its Content-Length %1 is not a number").arg(quoted(value)));
            return false;
        }
        const qsizetype length = value.toLongLong();
        if (fields.contentLength >= 0 && fields.contentLength != length) {
            fail(Failure::Malformed, QStringLiteral("it gives two different Content-Lengths"));
            return false;
        }
        fields.contentLength = length;
    } else if (name == "transfer-encoding" || name == "content-encoding") {
        // The request asks for no coding, so the only one that may come is the
        // chunked framing; anything else (gzip...) would be stored as garbage.
        for (const QByteArray &coding : value.toByteArray().toLower().split(',')) {
            const QByteArrayView c = trimmed(coding);
            if (c == "chunked" && name == "transfer-encoding")
                fields.chunked = true;
            else if (!c.isEmpty() && c != "identity")
                fields.unaskedCoding = line.toByteArray();
        }
    } else if (name == "content-type") {
        m_contentType = value.toByteArray();
    } else if (name == "retry-after") {
        m_retryAfter = retryDelay(value);
    }
    return true;
}

bool ResponseReader::chooseFraming(const Fields &fields)
{
    m_phase = Phase::Body;
    if (fields.chunked) {
        m_framing = Framing::Chunked;
        m_chunkPart = ChunkPart::Size;
    } else if (m_status == 204) {
        m_framing = Framing::Length;
        m_length = 0;
    } else if (fields.contentLength >= 0) {
        if (fields.contentLength > kMaxResponse) {
            fail(Failure::TooLarge,
                 QStringLiteral("the page is larger than 8 MiB (Content-Length %1)").arg(fields.contentLength));
            return false;
        }
        m_framing = Framing::Length;
        m_length = fields.contentLength;
    } else {
        m_framing = Framing::UntilClose;
    }
    return true;
}

ResponseReader::Progress ResponseReader::parseBody()
{
    qsizetype pos = m_pending.size();
    switch (m_framing) {
    case Framing::None:
    case Framing::UntilClose:
        m_body.append(m_pending);
        break;
    case Framing::Length: {
        const qsizetype take = std::min(m_length, m_pending.size());
        m_body.append(QByteArrayView(m_pending).first(take));
        m_length -= take;
        if (m_length == 0)
            return complete(); // anything after the announced length is not this page
        break;
    }
    case Framing::Chunked:
        pos = parseChunks(0);
        if (pos < 0)
            return m_progress;
        break;
    }
    m_pending.remove(0, pos);
    if (isEndOfPage(m_body))
        return complete();
    return m_progress;
}

// The size a chunk-size line gives ("1a;ext=1"), or -1 once it failed the answer.
qint64 ResponseReader::chunkSize(QByteArrayView line)
{
    if (line.endsWith('\r'))
        line.chop(1);
    const qsizetype extension = line.indexOf(';');
    const QByteArrayView digits = trimmed(extension < 0 ? line : line.first(extension));
    qint64 value = 0;
    bool ok = !digits.isEmpty();
    for (char c : digits) {
        const int v = hexValue(c);
        if (v < 0) {
            ok = false;
            break;
        }
        value = value * 16 + v;
        if (value > kMaxResponse) {
            fail(Failure::TooLarge, QStringLiteral("a chunk of the page is larger than 8 MiB"));
            return -1;
        }
    }
    if (!ok) {
        fail(Failure::Malformed, QStringLiteral("its chunk size %1 is not a hexadecimal number").arg(quoted(line)));
        return -1;
    }
    return value;
}

// Takes the chunks in m_pending from pos on into the body; returns how far it
// got, or -1 once the answer is decided (the last chunk, or a failure).
qsizetype ResponseReader::parseChunks(qsizetype pos)
{
    const qsizetype size = m_pending.size();
    while (pos < size) {
        if (m_chunkPart == ChunkPart::Size) {
            const qsizetype nl = m_pending.indexOf('\n', pos);
            if (nl < 0 && size - pos <= kMaxChunkLine)
                return pos;
            if (nl < 0) {
                fail(Failure::Malformed, QStringLiteral("a chunk-size line is longer than 1 KiB"));
                return -1;
            }
            const qint64 value = chunkSize(QByteArrayView(m_pending).sliced(pos, nl - pos));
            if (value < 0)
                return -1;
            pos = nl + 1;
            if (value == 0) {
                complete(); // the last chunk; trailers, if any, add nothing to the page
                return -1;
            }
            m_length = value;
            m_chunkPart = ChunkPart::Data;
        } else if (m_chunkPart == ChunkPart::Data) {
            const qsizetype take = std::min(m_length, size - pos);
            m_body.append(QByteArrayView(m_pending).sliced(pos, take));
            pos += take;
            m_length -= take;
            if (m_length == 0)
                m_chunkPart = ChunkPart::DataEnd;
        } else {
            // The CR LF (or bare LF) after a chunk's data.
            const bool crlf = m_pending[pos] == '\r';
            if (crlf && pos + 1 >= size)
                break;
            if (m_pending[pos + (crlf ? 1 : 0)] != '\n') {
                fail(Failure::Malformed, QStringLiteral("a chunk is longer than its size says"));
                return -1;
            }
            pos += crlf ? 2 : 1;
            m_chunkPart = ChunkPart::Size;
        }
    }
    return pos;
}

ResponseReader::Progress ResponseReader::closed()
{
    if (m_progress != Progress::NeedMore)
        return m_progress;
    if (m_received == 0)
        return fail(Failure::NoAnswer, QStringLiteral("the connection was closed without an answer"));
    if (m_phase == Phase::Head)
        return fail(Failure::Incomplete, QStringLiteral("the connection was closed in the middle of the headers"));
    if (m_framing == Framing::None || m_framing == Framing::UntilClose)
        return complete();
    if (m_framing == Framing::Length)
        return fail(Failure::Incomplete,
                    QStringLiteral("the connection was closed %1 bytes before the announced end").arg(m_length));
    return fail(Failure::Incomplete, QStringLiteral("the connection was closed before the last chunk"));
}

} // namespace fortune
