#pragma once

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
// ends the last line. Each stored fortune has CR LF after every line.
LoadResult loadFortunesFile(const QString &path, FortuneList &list,
                            const LoadProgress &progress = {});

// The text exactly as loadFortunesFile would give it back after appendRecord
// wrote it: every line followed by CR LF. The duplicate test compares this form.
QByteArray recordForm(QByteArrayView text);

// The record writer: appends text, CR LF, the separator and CR LF to the file in
// one write, creating the file if needed, and flushes. On any failure the file is
// cut back to its former length and the error comes back.
Status appendRecord(const QString &path, QByteArrayView text);

// A downloaded fortune enters the collection: refused when the list is full,
// otherwise written with appendRecord and only then stored in its record form.
Status storeNewFortune(const QString &path, QByteArrayView text, FortuneList &list);

// The record writer for one that appends again and again (the download loop,
// once per new fortune): the file stays open between appends. Each append
// still makes sure the path names the file held open (reopening it when it was
// replaced or removed) and reads the file's real end, so whatever another
// program did to the file in between is dealt with as by appendRecord.
class RecordAppender {
public:
    explicit RecordAppender(QString path);
    ~RecordAppender();
    RecordAppender(const RecordAppender &) = delete;
    RecordAppender &operator=(const RecordAppender &) = delete;

    const QString &path() const { return m_path; }
    // As appendRecord.
    Status append(QByteArrayView text);
    // Lets go of the file; the next append opens it again.
    void close();

private:
    // Opens the file and tells its size.
    Status open(qint64 &size);

    QString m_path;
    QByteArray m_nativePath;
    int m_fd = -1;
    quint64 m_device = 0;
    quint64 m_inode = 0;
};

// As storeNewFortune, written through an appender.
Status storeNewFortune(RecordAppender &file, QByteArrayView text, FortuneList &list);

} // namespace fortune
