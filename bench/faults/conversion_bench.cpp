// A hostile page of a million "<BR>" tags must cost what any page of its size
// costs: the cut, the conversion and the decoding are linear. Times the whole
// extraction of pages with 1M and 2M tags (the median of several runs) and
// prints the 2M time with the 1M time as its anchor: a ratio near 2 is linear,
// near 4 would be quadratic. Every run's answer is checked.
#include "extraction.h"
#include "sitepage.h"

#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace fortune;

namespace {

QByteArray pageOfBreaks(qsizetype tags)
{
    QByteArray html;
    html.reserve(tags * 4 + 3);
    for (qsizetype i = 0; i < tags; ++i)
        html += "<BR>";
    html += "end";
    return site::pageWithHtml(html);
}

double medianMs(qsizetype tags, int runs)
{
    const QByteArray page = pageOfBreaks(tags);
    std::vector<double> times;
    for (int r = 0; r < runs; ++r) {
        QElapsedTimer clock;
        clock.start();
        const std::optional<QString> fortune = extractFortune(page, "text/html; charset=utf-8").text;
        times.push_back(double(clock.nsecsElapsed()) / 1e6);
        // A million empty lines and "end": CR LF per tag.
        if (!fortune || fortune->size() != 2 * tags + 3 || !fortune->endsWith(QLatin1String("\r\nend"))) {
            std::fprintf(stderr, "conversion_bench: wrong fortune for %lld tags\n", static_cast<long long>(tags));
            std::exit(1);
        }
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main()
{
    const int runs = 9;
    medianMs(100'000, 3); // warm the allocator
    const double one = medianMs(1'000'000, runs);
    const double two = medianMs(2'000'000, runs);
    std::printf("{\"name\": \"extract a page of 2M <BR> tags\", \"value\": %.3f, \"unit\": \"ms\", "
                "\"anchor\": \"extract a page of 1M <BR> tags (linear: ratio 2)\", \"anchor_value\": %.3f, "
                "\"ratio\": %.4f}\n",
                two, one, two / one);
    return 0;
}
