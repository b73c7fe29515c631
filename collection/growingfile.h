#pragma once

#include "fortunesreader.h"

namespace fortune {

// Follows a UTF-8 fortunes file of this program's format while writers
// append whole records to it, reading only what it gained: the collection
// file's take-in and the fortune site both keep up with a file through it.
//
// Contract: the records a follower has handed out since it last started over
// are, each once and in file order, the records of the file up to the last
// separator line it read (the resume point); lines after that line wait for
// their separator. A look starts over, handing out the records from the start
// of the file, when the file is not the one read before (opened() with
// another identity), is shorter than the part read, or reads differently
// before the resume point: the separator line there must still stand, and
// the first and the last kCheckedBytes up to it must be the bytes read. A
// file rewritten in place is so read again whole, unless the rewrite kept
// both of those stretches and changed only bytes between them; a reader that
// sees it written to without growing calls forget().
class GrowingFile {
public:
    static constexpr qsizetype kCheckedBytes = 64 * 1024;

    struct Look {
        LoadResult result;        // Failed: the file could not be read; the follower is where it was
        bool startedOver = false; // the file changed before the resume point: the records are from its start
        qsizetype firstNew = 0;   // the records before this one were handed out before (the one the
                                  // separator line at the resume point closes)
        bool done = false;        // read up to the size given; otherwise look again for the rest
    };

    // The file was opened anew: false, and the next look starts over, when
    // it is not the file read so far or the platform cannot tell.
    bool opened(const FileId &id);
    // The records of file (open, size bytes long) past the resume point, into
    // records, which must be empty; with a step, about that many bytes of
    // them at the most.
    Look look(OpenFile &file, qint64 size, FortuneList &records, qint64 step = 0);
    // This program appended whole records (as appendRecordBytes writes them)
    // right after what was read, and the file ends with them at end: they are
    // taken as read.
    void appended(qint64 end);
    // The next look starts over.
    void forget();
    // Where the last separator line read begins; -1 before the first.
    qint64 resumeAt() const { return m_resumeAt; }

private:
    struct Stretch {
        qint64 at = 0;
        QByteArray bytes;
    };
    bool stretchesHold(OpenFile &file) const;
    void keepStretches(OpenFile &file);

    FileId m_id;
    qint64 m_resumeAt = -1;
    qint64 m_size = -1; // the size given to the last look
    Stretch m_head, m_tail;
};

} // namespace fortune
