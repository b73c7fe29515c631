#pragma once

#include <QtGlobal>

namespace fortune {

// The index on show. Stepping wraps at both ends through the empty slot at
// index count, so a collection of n fortunes has n + 1 positions.
class Cursor {
public:
    qsizetype position() const { return m_position; }
    qsizetype next(qsizetype count);
    qsizetype previous(qsizetype count);

private:
    qsizetype m_position = 0;
};

} // namespace fortune
