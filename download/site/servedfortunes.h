#pragma once

#include "fortunelist.h"

#include <QRandomGenerator>
#include <QStringList>

#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace fortune::site {

// The fortunes a site serves: one or more files, each this program's format
// or the classic "%" one, followed as they change. They are looked at (one
// stat each) before each answer. A file of this program's format that grows
// has only its new whole records read (GrowingFile); one replaced or changed
// before what was read is read again whole; a record still being written is
// served once its separator line is there, never before; and a file once read
// in this program's format is never read as a classic one, whatever a
// rewrite caught half-way holds. Not served: empty fortunes, fortunes that
// hold NUL (a collector refuses their page) and fortunes whose answer is
// larger than a collector takes; the last two are told in one warning per
// reading of the file. Files are only ever read.
class ServedFortunes {
public:
    explicit ServedFortunes(bool sequential = false);
    ~ServedFortunes();
    ServedFortunes(const ServedFortunes &) = delete;
    ServedFortunes &operator=(const ServedFortunes &) = delete;

    // Reads every file. An empty text when they could all be read and hold a
    // fortune between them; otherwise what is wrong, naming the file.
    QString load(const QStringList &paths);

    // Fortunes it serves, over all files.
    qsizetype count() const { return m_servable; }
    // The fortune to serve next (a random one, or the next in file order),
    // after looking whether a file changed; nothing when no file holds one.
    // The view is valid until the next call.
    std::optional<QByteArrayView> next();
    // The page of the fortune to serve next. A large page is built once and
    // shared while it is among the last few served.
    std::optional<QByteArray> nextPage();
    // Takes in what changed in the files since the last look.
    void refresh();

private:
    struct Source;
    struct Pick {
        const Source *source = nullptr;
        qsizetype index = -1;
    };
    struct SharedPage {
        const Source *source = nullptr;
        quint64 reading = 0;
        qsizetype index = -1;
        QByteArray page;
    };

    QString read(Source &source);
    QString readClassic(Source &source);
    void replace(Source &source, std::unique_ptr<FortuneList> list);
    void sortOut(Source &source, qsizetype from);
    void recount();
    Pick pick();
    QByteArrayView textOf(const Pick &picked) const;

    std::vector<std::unique_ptr<Source>> m_sources;
    qsizetype m_records = 0;
    qsizetype m_servable = 0;
    bool m_sequential;
    qsizetype m_next = 0;
    QRandomGenerator m_random;
    std::array<SharedPage, 4> m_pages;
    size_t m_nextPage = 0;
};

} // namespace fortune::site
