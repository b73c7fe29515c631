#include "growingfile.h"

#include <algorithm>

namespace fortune {

bool GrowingFile::opened(const FileId &id)
{
    const bool same = id == m_id;
    m_id = id;
    if (!same)
        forget();
    return same;
}

void GrowingFile::forget()
{
    m_resumeAt = -1;
    m_size = -1;
    m_head = m_tail = {};
}

GrowingFile::Look GrowingFile::look(OpenFile &file, qint64 size, FortuneList &records, qint64 step)
{
    Look look;
    // A size seen before was checked then; a look that goes on reading
    // where the last one stopped checks nothing again.
    if (m_resumeAt >= 0 && (size < m_resumeAt + kSeparator.size() || (size != m_size && !stretchesHold(file)))) {
        forget();
        look.startedOver = true;
    }
    for (;;) {
        const qint64 from = std::max<qint64>(m_resumeAt, 0);
        const RecordScan scan = scanRecords(file, from, size, step, records);
        if (scan.result.outcome == LoadResult::Outcome::Failed) {
            look.result = scan.result;
            return look;
        }
        if (m_resumeAt >= 0 && scan.firstSeparatorAt != m_resumeAt) {
            forget();
            records.clear();
            look.startedOver = true;
            continue; // from the start, where nothing is checked: once at the most
        }
        look.result = scan.result;
        look.firstNew = m_resumeAt >= 0 ? 1 : 0;
        if (scan.lastSeparatorAt >= 0)
            m_resumeAt = scan.lastSeparatorAt;
        m_size = size;
        look.done = step == 0 || scan.lastSeparatorAt < 0 || m_resumeAt - from < step;
        if (look.done)
            keepStretches(file);
        return look;
    }
}

void GrowingFile::appended(qint64 end)
{
    // The stretches kept stand before the new records and still hold.
    m_resumeAt = end - kSeparator.size() - kCrLf.size();
    m_size = end;
}

bool GrowingFile::stretchesHold(OpenFile &file) const
{
    QByteArray now;
    for (const Stretch *stretch : {&m_head, &m_tail}) {
        if (stretch->bytes.isEmpty())
            continue;
        now.resize(stretch->bytes.size());
        if (file.readAt(stretch->at, now.data(), now.size()) != now.size() || now != stretch->bytes)
            return false;
    }
    return true;
}

void GrowingFile::keepStretches(OpenFile &file)
{
    if (m_resumeAt < 0)
        return;
    const qint64 end = m_resumeAt + kSeparator.size();
    const auto keep = [&](Stretch &stretch, qint64 from, qint64 to) {
        stretch.at = from;
        stretch.bytes.resize(std::max<qint64>(0, to - from));
        if (file.readAt(from, stretch.bytes.data(), stretch.bytes.size()) != stretch.bytes.size())
            stretch.bytes.clear(); // read with the next look
    };
    if (m_head.bytes.size() < kCheckedBytes)
        keep(m_head, 0, std::min<qint64>(end, kCheckedBytes));
    keep(m_tail, std::max<qint64>(m_head.bytes.size(), end - kCheckedBytes), end);
}

} // namespace fortune
