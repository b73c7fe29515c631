#pragma once

#include "fileio.h"
#include "fortunelist.h"

#include <functional>
#include <memory>

namespace fortune {

struct LoadResult {
    enum class Outcome {
        Loaded,  // the whole file was read
        Missing, // the file does not exist; nothing stored
        Failed,  // the file exists but could not be read; error says why; records read before stay
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

// loadFortunesFile piece by piece, for the window's thread: each step reads
// on until its deadline has passed. The count rises as records come in, and
// the list may be read meanwhile, but nothing else may be stored into it
// until the load is done (FortuneList::isLoading). A load dropped half-way
// keeps what it read.
class FortunesLoad {
public:
    FortunesLoad(const QString &path, FortuneList &list, const LoadProgress &progress = {});
    ~FortunesLoad();
    FortunesLoad(const FortunesLoad &) = delete;
    FortunesLoad &operator=(const FortunesLoad &) = delete;

    // True once done; result() then says how it went.
    bool step(QDeadlineTimer deadline);
    const LoadResult &result() const { return m_result; }

private:
    struct Reading;
    QString m_path;
    LoadProgress m_progress;
    LoadResult m_result;
    std::unique_ptr<Reading> m_reading; // the file and the reader, until done
};

// loadFortunesFile for a file of any size in little memory: the records go,
// about `piece` bytes of them at a time, into a list of their own that is
// handed to onPiece and emptied for the next (a UTF-16 file, which the
// loader decodes whole, is one piece). Stops where onPiece returns false.
// Full, as for the list, when the file holds more records than the list
// can: onPiece has seen those that fit.
using PieceReader = std::function<bool(const FortuneList &piece)>;
LoadResult readFortunesInPieces(const QString &path, qint64 piece, const PieceReader &onPiece);

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
