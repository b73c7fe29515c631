// Fuzz target: the HTTP response framing. The input is a control byte, two
// bytes that seed where the answer is cut into pieces, and what the server
// sends. Control byte: bits 0-2 give the number of pieces less one, bit 3
// feeds one byte at a time instead, bit 4 has the server close the connection
// after the last byte.
//
// Checked: no crash; every size stays under the fixed limits; and the reader
// decides the same way however the answer is cut up: after every piece it is
// in the state a reader fed everything so far in one piece is in, and it
// decides (complete or failed, with the same body, status and reason) where
// that reader decides.
#include "fuzzcheck.h"
#include "httpresponse.h"

#include <algorithm>
#include <vector>

using namespace fortune;
using Progress = ResponseReader::Progress;

namespace {

void checkBounds(const ResponseReader &r)
{
    FUZZ_CHECK(r.receivedBytes() <= ResponseReader::kMaxResponse, "received stays under the response limit");
    FUZZ_CHECK(r.body().size() <= r.receivedBytes(), "the body is no larger than what came");
    if (r.progress() == Progress::Complete)
        FUZZ_CHECK(r.failure() == ResponseReader::Failure::None, "a complete page has no failure");
    if (r.progress() == Progress::Failed)
        FUZZ_CHECK(r.failure() != ResponseReader::Failure::None && !r.detail().isEmpty(),
                   "a failed answer says why");
}

void checkSame(const ResponseReader &a, const ResponseReader &b)
{
    FUZZ_CHECK(a.progress() == b.progress(), "same decision however the answer was cut");
    if (a.progress() == Progress::NeedMore)
        return;
    FUZZ_CHECK(a.failure() == b.failure(), "same failure however the answer was cut");
    FUZZ_CHECK(a.detail() == b.detail(), "same reason however the answer was cut");
    FUZZ_CHECK(a.status() == b.status(), "same status however the answer was cut");
    FUZZ_CHECK(a.contentType() == b.contentType(), "same content type however the answer was cut");
    if (a.progress() == Progress::Complete)
        FUZZ_CHECK(a.body() == b.body(), "same body however the answer was cut");
}

void feedWhole(ResponseReader &r, QByteArrayView bytes)
{
    r.feed(bytes);
    checkBounds(r);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const uint8_t control = data[0];
    fuzz::Rng rng{quint32(data[1]) << 8 | data[2] | 0x10000u};
    const QByteArrayView answer = fuzz::bytes(data + 3, size - 3);
    const bool byteWise = control & 0x08;
    const bool closeAtEnd = control & 0x10;

    std::vector<qsizetype> ends; // where each piece ends
    if (byteWise) {
        for (qsizetype i = 1; i <= answer.size(); ++i)
            ends.push_back(i);
    } else {
        const int pieces = (control & 0x07) + 1;
        for (int i = 1; i < pieces; ++i)
            ends.push_back(answer.isEmpty() ? 0 : qsizetype(rng.next() % quint32(answer.size() + 1)));
        std::sort(ends.begin(), ends.end());
        ends.push_back(answer.size());
    }

    ResponseReader pieces;
    qsizetype fed = 0;
    for (const qsizetype end : ends) {
        const Progress before = pieces.progress();
        pieces.feed(answer.sliced(fed, end - fed));
        fed = end;
        checkBounds(pieces);
        // Decided pieces stay decided, and the one-piece reader on the same
        // bytes agrees (checked at every cut unless fed byte by byte).
        if (before != Progress::NeedMore) {
            FUZZ_CHECK(pieces.progress() == before, "a decided answer stays decided");
            continue;
        }
        if (!byteWise || pieces.progress() != Progress::NeedMore) {
            ResponseReader once;
            feedWhole(once, answer.first(fed));
            checkSame(pieces, once);
        }
    }
    if (closeAtEnd) {
        ResponseReader once;
        feedWhole(once, answer);
        if (pieces.progress() == Progress::NeedMore) {
            FUZZ_CHECK(once.progress() == Progress::NeedMore, "undecided either way");
            pieces.closed();
            once.closed();
            checkBounds(pieces);
            FUZZ_CHECK(pieces.progress() != Progress::NeedMore, "a close decides");
            checkSame(pieces, once);
        }
    }
    return 0;
}
