// Fuzz target: the HTTP response framing. The input: a control byte (bits 0-2:
// pieces less one; bit 3: byte by byte instead; bit 4: the server closes after
// the last byte), two bytes seeding where the answer is cut, then the answer.
// Checked: the fixed limits hold, and the reader decides the same way, with
// the same body, status and reason, however the answer is cut up.
#include "fuzzcheck.h"
#include "responsereader.h"

#include <algorithm>
#include <tuple>
#include <vector>

using namespace fortune;
using Progress = ResponseReader::Progress;

namespace {

void checkBounds(const ResponseReader &r)
{
    FUZZ_CHECK(r.receivedBytes() <= ResponseReader::kMaxResponse, "received stays under the response limit");
    FUZZ_CHECK(r.body().size() <= r.receivedBytes(), "the body is no larger than what came");
    FUZZ_CHECK((r.progress() == Progress::Failed) == (r.failure() != ResponseReader::Failure::None),
               "a failure is told exactly when the answer failed");
    FUZZ_CHECK((r.progress() == Progress::Failed) == !r.detail().isEmpty(), "a failed answer says why");
}

// A reader fed these bytes in one piece agrees with the one fed in pieces.
void checkSameAsWhole(const ResponseReader &pieces, QByteArrayView bytes, bool closed)
{
    ResponseReader whole;
    whole.feed(bytes);
    if (closed)
        whole.closed();
    checkBounds(whole);
    const auto state = [](const ResponseReader &r) {
        return std::tuple(r.progress(), r.failure(), r.detail(), r.status(), r.contentType(),
                          r.progress() == Progress::Complete ? r.body() : QByteArray());
    };
    FUZZ_CHECK(whole.progress() == Progress::NeedMore ? pieces.progress() == Progress::NeedMore
                                                      : state(pieces) == state(whole),
               "same decision, body, status and reason however the answer was cut");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const uint8_t control = data[0];
    quint32 seed = quint32(data[1]) << 8 | data[2];
    const QByteArrayView answer = fuzz::bytes(data + 3, size - 3);
    const bool byteWise = control & 0x08;

    std::vector<qsizetype> ends; // where each piece ends
    for (int i = 1; !byteWise && i <= (control & 0x07); ++i) {
        seed = seed * 1103515245u + 12345u;
        ends.push_back(qsizetype((seed >> 8) % quint32(answer.size() + 1)));
    }
    for (qsizetype i = 1; byteWise && i < answer.size(); ++i)
        ends.push_back(i);
    ends.push_back(answer.size());
    std::sort(ends.begin(), ends.end());

    ResponseReader pieces;
    qsizetype fed = 0;
    for (const qsizetype end : ends) {
        const Progress before = pieces.progress();
        pieces.feed(answer.sliced(fed, end - fed));
        fed = end;
        checkBounds(pieces);
        FUZZ_CHECK(before == Progress::NeedMore || pieces.progress() == before, "a decided answer stays decided");
        // Checked at every cut, unless fed byte by byte: then where it decides.
        if (before == Progress::NeedMore && (!byteWise || pieces.progress() != Progress::NeedMore))
            checkSameAsWhole(pieces, answer.first(fed), false);
    }
    if ((control & 0x10) && pieces.progress() == Progress::NeedMore) {
        pieces.closed();
        FUZZ_CHECK(pieces.progress() != Progress::NeedMore, "a close decides");
        checkSameAsWhole(pieces, answer, true);
    }
    return 0;
}
