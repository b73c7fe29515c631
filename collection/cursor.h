#pragma once

#include <QtGlobal>

#include <vector>

namespace fortune {

// The index on show. Stepping wraps at both ends through the empty slot at
// index count, so a collection of n fortunes has n + 1 positions.
class Cursor {
public:
    qsizetype position() const { return m_position; }
    qsizetype next(qsizetype count);
    qsizetype previous(qsizetype count);
    // To the next (previous) of the slots in matches (in increasing order), after
    // (before) the position, wrapping past the last (first) as stepping does;
    // the position stays where it is when there are none.
    qsizetype nextOf(const std::vector<quint32> &matches);
    qsizetype previousOf(const std::vector<quint32> &matches);

private:
    qsizetype m_position = 0;
};

} // namespace fortune
