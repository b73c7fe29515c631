#pragma once

#include <QByteArray>
#include <QList>

namespace fortune {

class Sock;

// The five texts of the page request, in sending order; the third names webHost.
QList<QByteArray> pageRequestTexts(const QString &webHost);

// Sends the page request: each of the five texts by a SendData of its own,
// nothing else. False when the socket would not take them.
bool sendPageRequest(Sock &sock, const QString &webHost);

} // namespace fortune
