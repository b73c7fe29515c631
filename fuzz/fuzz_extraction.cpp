// Fuzz target: the end-of-page test, the cut, both conversions and the
// decoding of a fortune page. The input is a byte choosing the Content-Type
// header, then the page.
//
// Checked: no crash, and
// - the cut lies between the markers and holds no "</p>";
// - the conversion is the cut with every "<BR>" made CR LF, left to right,
//   less at most the last four characters (a "<BR>" that reaches into them
//   is still converted); it never grows the text and never leaves a whole "<BR>";
// - the hidden test's cut is at most 20 characters, and its conversion at most
//   four times its input;
// - a decoded fortune is no longer than its bytes, and UTF-8 comes back byte
//   for byte.
#include "extraction.h"
#include "fortunelist.h"
#include "fuzzcheck.h"

#include <QString>

using namespace fortune;

namespace {

constexpr const char *kContentTypes[] = {
    "",
    "text/html",
    "text/html; charset=utf-8",
    "text/html; charset=ISO-8859-1",
    "text/html; charset=windows-1252",
    "text/html; charset=UTF-16LE",
    "text/html; charset=utf-16",
    "text/html; charset=\"koi8-r\"",
    "text/html;charset = 'us-ascii'",
    "text/html; charset=",
};

bool isWindows1252Name(const QByteArray &name)
{
    for (const char *n : {"windows-1252", "cp1252", "x-cp1252", "iso-8859-1", "iso8859-1", "latin1", "latin-1", "l1",
                          "us-ascii", "ascii", "iso_8859-1"})
        if (name == n)
            return true;
    return false;
}

void checkCharset(const QByteArray &charset)
{
    for (char c : charset)
        FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == ':',
                   "a charset name is a lower-case token");
}

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
    if (cut) {
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

        const std::optional<QString> text = extractFortune(page, contentType);
        FUZZ_CHECK(text.has_value(), "a page with a cut has a fortune");
        QByteArray charset = charsetOfContentType(contentType);
        checkCharset(charset);
        if (charset.isEmpty())
            charset = charsetOfPage(page);
        checkCharset(charset);
        FUZZ_CHECK(text->size() <= converted.size(), "decoding never grows the text");
        if (isWindows1252Name(charset))
            FUZZ_CHECK(text->size() == converted.size(), "one character per byte in Windows-1252");
        else if (!charset.startsWith("utf-16") && converted.isValidUtf8())
            FUZZ_CHECK(text->toUtf8() == converted, "valid UTF-8 comes back byte for byte");
    } else {
        FUZZ_CHECK(!extractFortune(page, contentType).has_value(), "no cut, no fortune");
        FUZZ_CHECK(marker < 0 || marker + kStartOffset > page.size()
                       || page.indexOf(kEndMarker, marker + kStartOffset) < 0,
                   "a page with both markers has a cut");
    }

    const QByteArray test = testCut(page);
    FUZZ_CHECK(test.size() <= kTestCutLength, "the hidden test cuts at most 20 characters");
    FUZZ_CHECK(testConversion(test).size() <= 4 * test.size(), "the hidden conversion grows at most fourfold");
    FUZZ_CHECK(testConversion(page).size() <= 4 * page.size(), "the hidden conversion grows at most fourfold");
    (void)testExtraction(page);
    (void)decodeFortune(page);
    return 0;
}
