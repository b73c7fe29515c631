// Fuzz target: a fortune page (after a byte choosing its Content-Type): the
// end-of-page test, the cut, both conversions and the decoding, each checked
// against what it must be; a fortune is refused only for a NUL in its cut or a
// declared charset that cannot decode it, and says why.
#include "extraction.h"
#include "fuzzcheck.h"
#include "textdecoding.h"

using namespace fortune;

namespace {
constexpr const char *kContentTypes[] = {
    "", "text/html", "text/html; charset=utf-8", "text/html; charset=ISO-8859-1", "text/html; charset=windows-1252",
    "text/html; charset=UTF-16LE", "text/html; charset=utf-16", "text/html; charset=\"koi8-r\"",
    "text/html;charset = 'us-ascii'", "text/html; charset=", "text/html; charset=shift_jis",
    "text/html; charset=x-unknown"};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArrayView contentType(kContentTypes[data[0] % std::size(kContentTypes)]);
    const QByteArrayView page = fuzz::bytes(data + 1, size - 1);

    const bool endOfPage = page.size() >= 8 ? page.sliced(page.size() - 8, 7) == QByteArrayView("</html>")
                                            : page == QByteArrayView("</html>");
    FUZZ_CHECK(isEndOfPage(page) == endOfPage, "the end-of-page test looks at the last eight characters");

    const std::optional<QByteArray> cut = cutFortune(page);
    const qsizetype marker = page.indexOf(kTableMarker);
    const PageFortune fortune = extractFortune(page, contentType);
    FUZZ_CHECK(!fortune.text || fortune.unreadable.isEmpty(), "a fortune read has no reason against it");
    if (!cut) {
        FUZZ_CHECK(!fortune.text && fortune.unreadable.isEmpty(), "no cut, no fortune");
        FUZZ_CHECK(marker < 0 || marker + kStartOffset > page.size()
                       || page.indexOf(kEndMarker, marker + kStartOffset) < 0,
                   "a page with both markers has a cut");
    } else {
        FUZZ_CHECK(marker >= 0, "a cut needs the table marker");
        FUZZ_CHECK(page.sliced(marker + kStartOffset).startsWith(*cut), "the cut starts 130 after the marker");
        FUZZ_CHECK(page.sliced(marker + kStartOffset + cut->size()).startsWith(kEndMarker), "the cut ends at </p>");
        FUZZ_CHECK(!cut->contains(kEndMarker), "the cut holds no </p>");

        const QByteArray converted = convertBreaks(*cut);
        const QByteArray allReplaced = QByteArray(*cut).replace(kBreakTag, "\r\n");
        FUZZ_CHECK(allReplaced.startsWith(converted), "the conversion replaces <BR> left to right");
        FUZZ_CHECK(converted.size() >= allReplaced.size() - 4, "the conversion leaves out at most four characters");
        FUZZ_CHECK(converted.size() <= cut->size(), "the conversion never grows the text");
        FUZZ_CHECK(!converted.contains(kBreakTag), "no whole <BR> is left");

        FUZZ_CHECK(fortune.text || !fortune.unreadable.isEmpty(), "a fortune refused says why");
        FUZZ_CHECK(!fortune.text || !cut->contains('\0'), "a NUL in the fortune refuses it");
        QByteArray charset = charsetOfContentType(contentType);
        if (charset.isEmpty())
            charset = charsetOfPage(page);
        if (!cut->contains('\0') && (charset.isEmpty() || isWindows1252Label(charset)))
            FUZZ_CHECK(fortune.text.has_value(), "undeclared or Windows-1252 text is always read");
        if (fortune.text && isWindows1252Label(charset))
            FUZZ_CHECK(fortune.text->size() == converted.size(), "one character per byte in Windows-1252");
        if (fortune.text && (charset.isEmpty() || charset == "utf-8") && converted.isValidUtf8()) // Qt's own test
            FUZZ_CHECK(fortune.text->toUtf8() == converted, "valid UTF-8 comes back byte for byte");
    }

    const QByteArray test = testCut(page);
    FUZZ_CHECK(test.size() <= kTestCutLength, "the hidden test cuts at most 20 characters");
    FUZZ_CHECK(testConversion(test).size() <= 4 * test.size(), "the hidden conversion grows at most fourfold");
    FUZZ_CHECK(testConversion(page).size() <= 4 * page.size(), "the hidden conversion grows at most fourfold");
    FUZZ_CHECK(decodeFortune(page).size() <= page.size(), "decoding a fortune never grows it");
    (void)testExtraction(page);
    return 0;
}
