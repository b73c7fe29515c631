#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace fortune {

// The fortune page's fixed layout: the fortune begins 130 characters after the
// start of the table marker and ends before the next "</p>".
inline constexpr QByteArrayView kTableMarker{
    R"(<table BORDER="1" WIDTH="95%" CELLPADDING="15" CELLSPACING="0" align="center">)"};
inline constexpr qsizetype kStartOffset = 130;
inline constexpr QByteArrayView kEndMarker{"</p>"};
inline constexpr QByteArrayView kBreakTag{"<BR>"};
inline constexpr qsizetype kTestCutLength = 20;

// The end-of-page test: of the last 8 characters, the first 7 are "</html>".
bool isEndOfPage(QByteArrayView buffer);

// The fortune's raw bytes between the markers, or nothing when the page has no
// table marker or no "</p>" after the start: then it is not a fortune page.
std::optional<QByteArray> cutFortune(QByteArrayView page);

// Every "<BR>" becomes CR LF; the last four characters of the cut are left out.
QByteArray convertBreaks(QByteArrayView cut);

// The charset a Content-Type value declares ("text/html; charset=ISO-8859-1"),
// or empty.
QByteArray charsetOfContentType(QByteArrayView contentType);
// The charset a page's <meta charset> or <meta http-equiv ... content> declares, or empty.
QByteArray charsetOfPage(QByteArrayView page);

struct PageFortune {
    std::optional<QString> text; // the fortune, converted and decoded
    QString unreadable;          // why the page's fortune cannot be read (no text); empty when it has none
};
// The fortune of a page body, decoded by the charset that the response header
// or else the page declares (UTF-8 or Windows-1252 when neither does).
PageFortune extractFortune(QByteArrayView body, QByteArrayView contentType);

// The hidden extraction test's own cut: 20 characters from the start position
// (fewer at the end of the buffer). Without a table marker it starts at 130.
QByteArray testCut(QByteArrayView buffer);
// The hidden extraction test's own conversion: windows of up to four characters,
// a "<BR>" window becomes CR LF and skips one character more.
QByteArray testConversion(QByteArrayView cut);
// What the hidden extraction test shows for a receive buffer.
QString testExtraction(QByteArrayView buffer);

} // namespace fortune
