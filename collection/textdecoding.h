#pragma once

// Bytes to text, in one place for everything the program reads: fortunes
// files, downloaded pages, what the command line prints.

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace fortune {

// True when bytes are well-formed UTF-8 (no overlong forms, no surrogates).
bool isValidUtf8(QByteArrayView bytes);

// One Windows-1252 character per byte. The five bytes the code page leaves
// undefined come back as the C1 controls of the same value, as on Windows.
char16_t windows1252Char(uchar byte);
QString decodeWindows1252(QByteArrayView bytes);

// A fortune's bytes as shown and searched: UTF-8 when valid, otherwise
// Windows-1252, the code page of the files and pages that are not UTF-8.
QString decodeFortune(QByteArrayView bytes);

// The charset labels that browsers read as Windows-1252: its own names, and
// those of Latin-1 and ASCII, which pages use for it in practice.
bool isWindows1252Label(QByteArrayView charset);

// Bytes in a declared charset: any name the system's converters know, in any
// letter case; without a name, as decodeFortune does. Nothing, and the reason
// in error, when the charset is unknown or the bytes are not valid in it.
std::optional<QString> decodeCharset(QByteArrayView bytes, QByteArrayView charset, QString *error = nullptr);

// Whether files in charset can be cut into lines and records before their
// text is decoded, as the fortunes files are read: a name decodeCharset takes,
// in which CR, LF, "%" and "|" are the single bytes they are in ASCII (not
// UTF-16, not EBCDIC). Empty when they can, otherwise why not.
QString lineCharsetProblem(QByteArrayView charset);

} // namespace fortune
