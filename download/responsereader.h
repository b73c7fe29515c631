#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>

namespace fortune {

// Follows an HTTP response as its bytes come in and says when the page is
// complete: by the end-of-page test on the body, or by the response's own
// framing (Content-Length reached, the last chunk, or the server closing a
// response that has neither). The body collects with any chunk framing removed.
// A body in a coding the request did not ask for (gzip...) is refused at once.
// Every limit is fixed, so no input can make it grow without bound.
class ResponseReader {
public:
    static constexpr qsizetype kMaxResponse = 8 * 1024 * 1024; // all bytes received
    static constexpr qsizetype kMaxHead = 64 * 1024;           // status line and headers
    static constexpr qsizetype kMaxChunkLine = 1024;           // one chunk-size line

    enum class Progress { NeedMore, Complete, Failed };
    enum class Failure {
        None,
        NoAnswer,   // closed before a single byte came
        Incomplete, // closed before the page was complete
        TooLarge,   // more than kMaxResponse bytes
        Malformed,  // not HTTP as servers speak it, or encoded unasked; detail() says what
        Status,     // a status other than 2xx
    };

    void reset();
    // The next bytes received.
    Progress feed(QByteArrayView data);
    // The server closed the connection.
    Progress closed();

    Progress progress() const { return m_progress; }
    Failure failure() const { return m_failure; }
    QString detail() const { return m_detail; }

    qsizetype receivedBytes() const { return m_received; }
    int status() const { return m_status; }
    // How long the answer asks the client to wait before asking again
    // (Retry-After, in seconds or as a date); nothing when it does not say.
    std::optional<std::chrono::seconds> retryAfter() const { return m_retryAfter; }
    QByteArray contentType() const { return m_contentType; }
    const QByteArray &body() const { return m_body; }

private:
    enum class Phase { Head, Body, Done };
    enum class Framing { None, Length, Chunked, UntilClose };
    enum class ChunkPart { Size, Data, DataEnd };

    struct Fields; // what the header fields say about the body

    Progress fail(Failure failure, QString detail);
    Progress complete();
    qsizetype headLength();
    bool parseHead(QByteArrayView head);
    bool parseStatusLine(QByteArrayView line, QByteArray &reason);
    bool parseField(QByteArrayView line, Fields &fields);
    bool chooseFraming(const Fields &fields);
    Progress parseBody();
    qsizetype parseChunks(qsizetype pos);
    qint64 chunkSize(QByteArrayView line);

    Phase m_phase = Phase::Head;
    Framing m_framing = Framing::None;
    ChunkPart m_chunkPart = ChunkPart::Size;
    Progress m_progress = Progress::NeedMore;
    Failure m_failure = Failure::None;
    QString m_detail;

    QByteArray m_pending; // received, not yet parsed
    qsizetype m_received = 0;
    qsizetype m_length = 0;     // Content-Length, or what is left of the current chunk
    qsizetype m_headScan = 0;   // where to look on for the end of the head
    int m_status = 0;
    std::optional<std::chrono::seconds> m_retryAfter;
    QByteArray m_contentType;
    QByteArray m_body;
};

} // namespace fortune
