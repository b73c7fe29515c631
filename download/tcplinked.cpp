#include "connection.h"

namespace fortune {

// Linked with Qt Network: the maker is at hand.
MakeConnection connectionMaker(QString *)
{
    return &fortune_tcp_connection_1;
}

} // namespace fortune
