#pragma once

#include "fileio.h"
#include "fortunelist.h"

#include <functional>

namespace fortune {

struct LoadResult {
    enum class Outcome {
        Loaded,  // the whole file was read
        Missing, // the file does not exist; nothing stored
        Failed,  // the file exists but could not be read; error says why
        Full,    // the list filled up; records up to that point were stored
    };
    Outcome outcome = Outcome::Loaded;
    qsizetype stored = 0; // records stored by this load
    QString error;        // set for Failed and Full (and Missing, for callers that report it)
};

// Called now and then while a file loads (every few dozen milliseconds, never
// once per record) with the list's count, so a label can show it rising.
using LoadProgress = std::function<void(qsizetype count)>;

// Reads a fortunes file and runs the store step for every record, after what
// the list already holds. A record is the lines before a line that is exactly
// the separator; lines after the last separator are dropped. Lines end with
// CR LF or a lone LF (a CR right before the LF is dropped); the end of the file
// ends the last line. Each stored fortune has CR LF after every line. A UTF-8
// byte-order mark is not text; a UTF-16 file (with its mark) is read as such.
// The file is opened as every reader of the collection opens it (OpenFile).
LoadResult loadFortunesFile(const QString &path, FortuneList &list,
                            const LoadProgress &progress = {});

// The records of part of an open UTF-8 fortunes file, for one that follows
// the file as it grows: bytes [from, to), stopping once the records read
// reach `enough` bytes past from (0: read all). Offsets are the file's.
struct RecordScan {
    LoadResult result;
    qint64 firstSeparatorAt = -1; // where the first separator line read begins
    qint64 lastSeparatorAt = -1;  // where the last one begins
};
RecordScan scanRecords(OpenFile &file, qint64 from, qint64 to, qint64 enough, FortuneList &list);

} // namespace fortune
