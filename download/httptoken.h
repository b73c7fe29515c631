#pragma once

#include <QByteArrayView>

#include <algorithm>
#include <cstring>

namespace fortune {

// HTTP's token: the characters of a method, a field name or a parameter such
// as charset=utf-8. The collector reads charsets with it, fortune-site its
// requests.
inline bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
           || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

inline bool isToken(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

} // namespace fortune
