#pragma once

// The fortune files of the classic Unix fortune program (Debian's
// fortunes-min, fortunes-de, ...): fortunes separated by lines that hold
// exactly "%".

#include "fortunesreader.h"

#include <memory>

namespace fortune {

struct AnyFileLoad {
    std::unique_ptr<FortuneList> list; // never null: what was read, maybe nothing
    LoadResult result;
    bool classic = false; // read as a classic file
};

// Reads a file of fortunes in either format into a list of its own. A file
// with a separator line anywhere is in this program's format and is read by
// loadFortunesFile. Any other file is a classic one: a fortune ends at a line
// that is exactly "%" or at the end of the file; lines end with LF or CR LF;
// a UTF-8 byte-order mark at the start is not text. Each fortune is stored in
// the loader's form (CR LF after every line) and as UTF-8, decoded from
// Windows-1252 where its bytes are not valid UTF-8. A classic fortune with
// nothing to read (isEmptyFortune) is left out: no classic program shows it.
AnyFileLoad loadAnyFortunesFile(const QString &path);

struct ClassicExport {
    qsizetype written = 0;
    // Fortunes with a line that is exactly "%": in a classic file that line
    // would end the fortune, so they stay out.
    qsizetype leftOut = 0;
    QString error; // nothing was written when set
};

// Writes the fortunes of list to target as a classic file, so that strfile
// indexes it and fortune picks from it: UTF-8 (records that are not valid
// UTF-8 as Windows-1252, as the window shows them), LF after every line and a
// line "%" after every fortune. Empty fortunes are left out. The file is
// replaced in one step: it holds its former content or the whole export.
// Refused when target is the file source, under any name or link.
ClassicExport exportClassicFile(const FortuneList &list, const QString &target, const QString &source);

} // namespace fortune
