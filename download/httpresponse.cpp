#include "httpresponse.h"

#include "extraction.h"

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

bool ResponseReader::appendBody(QByteArrayView bytes)
{
    if (bytes.contains('\0')) {
        fail(Failure::NotText, QStringLiteral("the page holds NUL bytes, it is not text"));
        return false;
    }
    m_body.append(bytes);
    return true;
}

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
        // The head ends with an empty line: CR LF CR LF, or bare LFs.
        qsizetype end = -1;
        for (qsizetype nl = m_pending.indexOf('\n', m_headScan); nl >= 0; nl = m_pending.indexOf('\n', nl + 1)) {
            const qsizetype next = nl + 1;
            if (next < m_pending.size() && m_pending[next] == '\n') {
                end = next + 1;
                break;
            }
            if (next + 1 < m_pending.size() && m_pending[next] == '\r' && m_pending[next + 1] == '\n') {
                end = next + 2;
                break;
            }
            if (next + 1 >= m_pending.size()) {
                break; // the next line has not fully begun yet; look here again
            }
        }
        if (end < 0) {
            m_headScan = std::max<qsizetype>(0, m_pending.size() - 3);
            if (m_pending.size() > kMaxHead)
                return fail(Failure::Malformed, QStringLiteral("its headers are longer than 64 KiB"));
            return m_progress;
        }
        if (end > kMaxHead)
            return fail(Failure::Malformed, QStringLiteral("its headers are longer than 64 KiB"));
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
        if (line.endsWith('\r'))
            line.chop(1);
        return line;
    };

    // HTTP/1.1 200 OK
    const QByteArrayView statusLine = nextLine();
    const qsizetype space = statusLine.indexOf(' ');
    const QByteArrayView code = space < 0 ? QByteArrayView() : statusLine.sliced(space + 1).first(
                                    std::min<qsizetype>(3, statusLine.size() - space - 1));
    const bool versionOk = space == 8 && isDigit(statusLine[5]) && statusLine[6] == '.' && isDigit(statusLine[7]);
    const bool codeOk = code.size() == 3 && std::all_of(code.begin(), code.end(), isDigit)
                        && (statusLine.size() == space + 4 || statusLine[space + 4] == ' ');
    if (!versionOk || !codeOk) {
        fail(Failure::Malformed, QStringLiteral("its status line %1 is not HTTP").arg(quoted(statusLine)));
        return false;
    }
    m_status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
    m_reason = trimmed(statusLine.sliced(space + 4)).toByteArray();

    qsizetype contentLength = -1;
    bool chunked = false;
    bool otherCoding = false;
    for (;;) {
        const QByteArrayView line = nextLine();
        if (line.isEmpty())
            break;
        if (line.front() == ' ' || line.front() == '\t')
            continue; // an old folded continuation; none of ours is ever folded
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.first(colon).toByteArray().toLower();
        const QByteArrayView value = trimmed(line.sliced(colon + 1));
        if (name == "content-length") {
            if (value.isEmpty() || value.size() > 15 || !std::all_of(value.begin(), value.end(), isDigit)) {
                fail(Failure::Malformed, QStringLiteral("its Content-Length %1 is not a number").arg(quoted(value)));
                return false;
            }
            const qsizetype length = value.toLongLong();
            if (contentLength >= 0 && contentLength != length) {
                fail(Failure::Malformed, QStringLiteral("it gives two different Content-Lengths"));
                return false;
            }
            contentLength = length;
        } else if (name == "transfer-encoding") {
            const QByteArray codings = value.toByteArray().toLower();
            const QByteArrayView last = trimmed(QByteArrayView(codings).sliced(codings.lastIndexOf(',') + 1));
            if (last == "chunked")
                chunked = true;
            else if (last != "identity")
                otherCoding = true;
        } else if (name == "content-type") {
            m_contentType = value.toByteArray();
        }
    }

    if (m_status >= 100 && m_status < 200 && m_status != 101) {
        // An interim answer ("100 Continue"); the real one follows.
        m_status = 0;
        m_reason.clear();
        m_contentType.clear();
        return true;
    }
    if (m_status < 200 || m_status > 299) {
        fail(Failure::Status, QStringLiteral("HTTP status %1 %2").arg(m_status).arg(QString::fromLatin1(m_reason)).trimmed());
        return false;
    }
    m_phase = Phase::Body;
    if (chunked) {
        m_framing = Framing::Chunked;
        m_chunkPart = ChunkPart::Size;
    } else if (otherCoding) {
        m_framing = Framing::UntilClose;
    } else if (m_status == 204) {
        m_framing = Framing::Length;
        m_length = 0;
    } else if (contentLength >= 0) {
        if (contentLength > kMaxResponse) {
            fail(Failure::TooLarge, QStringLiteral("the page is larger than 8 MiB (Content-Length %1)").arg(contentLength));
            return false;
        }
        m_framing = Framing::Length;
        m_length = contentLength;
    } else {
        m_framing = Framing::UntilClose;
    }
    return true;
}

ResponseReader::Progress ResponseReader::parseBody()
{
    qsizetype pos = 0;
    const qsizetype size = m_pending.size();
    switch (m_framing) {
    case Framing::None:
    case Framing::UntilClose:
        if (!appendBody(m_pending))
            return m_progress;
        pos = size;
        break;
    case Framing::Length: {
        const qsizetype take = std::min(m_length, size);
        if (!appendBody(QByteArrayView(m_pending).first(take)))
            return m_progress;
        m_length -= take;
        if (m_length == 0)
            return complete(); // anything after the announced length is not this page
        pos = size;
        break;
    }
    case Framing::Chunked:
        while (pos < size) {
            if (m_chunkPart == ChunkPart::Size) {
                const qsizetype nl = m_pending.indexOf('\n', pos);
                if (nl < 0) {
                    if (size - pos > kMaxChunkLine)
                        return fail(Failure::Malformed, QStringLiteral("a chunk-size line is longer than 1 KiB"));
                    break;
                }
                QByteArrayView line = QByteArrayView(m_pending).sliced(pos, nl - pos);
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
                    if (value > kMaxResponse)
                        return fail(Failure::TooLarge, QStringLiteral("a chunk of the page is larger than 8 MiB"));
                }
                if (!ok)
                    return fail(Failure::Malformed, QStringLiteral("its chunk size %1 is not a hexadecimal number").arg(quoted(line)));
                pos = nl + 1;
                if (value == 0) {
                    m_pending.clear();
                    return complete(); // the last chunk; trailers, if any, add nothing to the page
                }
                m_length = value;
                m_chunkPart = ChunkPart::Data;
            } else if (m_chunkPart == ChunkPart::Data) {
                const qsizetype take = std::min(m_length, size - pos);
                if (!appendBody(QByteArrayView(m_pending).sliced(pos, take)))
                    return m_progress;
                pos += take;
                m_length -= take;
                if (m_length == 0)
                    m_chunkPart = ChunkPart::DataEnd;
            } else {
                if (m_pending[pos] == '\n') {
                    pos += 1;
                } else if (m_pending[pos] == '\r') {
                    if (pos + 1 >= size)
                        break;
                    if (m_pending[pos + 1] != '\n')
                        return fail(Failure::Malformed, QStringLiteral("a chunk is longer than its size says"));
                    pos += 2;
                } else {
                    return fail(Failure::Malformed, QStringLiteral("a chunk is longer than its size says"));
                }
                m_chunkPart = ChunkPart::Size;
            }
        }
        break;
    }
    m_pending.remove(0, pos);
    if (isEndOfPage(m_body))
        return complete();
    return m_progress;
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
