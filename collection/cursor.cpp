#include "cursor.h"

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

} // namespace fortune
