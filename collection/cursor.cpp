#include "cursor.h"

#include <algorithm>

namespace fortune {

// Both ends wrap through the empty slot at index count: ">>" on the empty slot
// goes to 0, "<<" on 0 goes to the empty slot.
qsizetype Cursor::next(qsizetype count)
{
    m_position = m_position == count ? 0 : m_position + 1;
    return m_position;
}

qsizetype Cursor::previous(qsizetype count)
{
    m_position = m_position == 0 ? count : m_position - 1;
    return m_position;
}

qsizetype Cursor::nextOf(const std::vector<quint32> &matches)
{
    if (!matches.empty()) {
        const auto after = std::upper_bound(matches.begin(), matches.end(), m_position);
        m_position = after == matches.end() ? matches.front() : *after;
    }
    return m_position;
}

qsizetype Cursor::previousOf(const std::vector<quint32> &matches)
{
    if (!matches.empty()) {
        const auto at = std::lower_bound(matches.begin(), matches.end(), m_position);
        m_position = at == matches.begin() ? matches.back() : *std::prev(at);
    }
    return m_position;
}

} // namespace fortune
