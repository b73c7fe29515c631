#pragma once

// The fortune files of the classic Unix fortune program (Debian's
// fortunes-min, fortunes-de, ...): fortunes separated by lines that hold
// exactly "%".

#include "fortunesreader.h"

#include <functional>
#include <memory>
#include <vector>

namespace fortune {

struct AnyFileLoad {
    std::unique_ptr<FortuneList> list; // never null: what was read, maybe nothing
    LoadResult result;
    bool classic = false; // read as a classic file
    // Fortunes read but left out, by their number in the file (from 1, empty
    // ones counted), and why.
    struct LeftOut {
        qsizetype number = 0;
        QString why;
    };
    std::vector<LeftOut> leftOut;
};

// Reads a file of fortunes in either format into a list of its own. A file
// with a separator line anywhere is in this program's format and is read by
// loadFortunesFile. Any other file is a classic one: a fortune ends at a line
// that is exactly "%" or at the end of the file; lines end with LF or CR LF;
// a byte-order mark at the start is not text. Each classic fortune is stored
// in the loader's form (CR LF after every line) and as UTF-8, decoded from
// Windows-1252 where its bytes are not valid UTF-8. A charset (one that
// lineCharsetProblem accepts) names the text's encoding instead, for the
// fortunes of either format, unless the file starts with a byte-order mark:
// a file with one (UTF-8, or UTF-16 of either byte order) is read as the mark
// says, in either format. A classic fortune with nothing to read
// (isEmptyFortune) is left out: no classic program shows it. So is a fortune
// of either format that holds NUL bytes or bytes not valid in charset: those
// are listed in leftOut.
AnyFileLoad loadAnyFortunesFile(const QString &path, QByteArrayView charset = {});

struct ClassicExport {
    qsizetype written = 0;
    // Fortunes with a line that is exactly "%": in a classic file that line
    // would end the fortune, so they stay out.
    qsizetype leftOut = 0;
    QString error; // set by the one that writes
};

// The fortunes of list as a classic file, so that strfile indexes it and
// fortune picks from it: UTF-8 (records that are not valid UTF-8 as
// Windows-1252, as the window shows them), LF after every line and a line "%"
// after every fortune. Empty fortunes are left out. The bytes go to write in
// pieces of about a megabyte, each ending after a fortune, until write
// returns false.
ClassicExport exportClassicFortunes(const FortuneList &list, const std::function<bool(QByteArrayView)> &write);

} // namespace fortune
