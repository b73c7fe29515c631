#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <functional>

class QObject;

namespace fortune {

// One TCP connection, as Sock uses it. The implementation (tcpconnection.cpp)
// is the only code that needs Qt Network, and the window's program loads it,
// with Qt Network and the libraries that come with it, only when it makes its
// first connection: nothing else may need Qt Network to compile.
class Connection {
public:
    enum class State { Unconnected, HostLookup, Connecting, Connected, Other };
    // What happens on the connection. Any of them may come from within
    // connectToHost, and none comes after close().
    struct Events {
        std::function<void()> connected;
        std::function<void()> readyRead;
        // The system's words for it; remoteClosed when the peer simply closed
        // the connection.
        std::function<void(const QString &reason, bool remoteClosed)> failed;
    };

    virtual void connectToHost(const QString &host, quint16 port) = 0;
    virtual State state() const = 0;
    virtual qint64 write(QByteArrayView data) = 0;
    virtual void flush() = 0;
    virtual qint64 bytesAvailable() const = 0;
    virtual QByteArray readAll() = 0;
    virtual QString errorString() const = 0;
    // Drops the connection at once. The object deletes itself once control is
    // back in the event loop, so this may come from within one of its events.
    virtual void close() = 0;

protected:
    ~Connection() = default; // closed, or deleted with its parent
};

// Makes a connection with nothing under way, a child of parent.
using MakeConnection = Connection *(*)(QObject *parent, Connection::Events events);

// Where connections come from: a program that links fortune_tcp has the maker
// built in; the window's program loads its network module on the first call.
// Null, with the reason, when the module cannot be loaded.
MakeConnection connectionMaker(QString *why);

} // namespace fortune

// The maker, under the name the window's program looks for in its network
// module. The number changes whenever Connection does, so that a module of
// another build is refused rather than called.
extern "C" fortune::Connection *fortune_tcp_connection_1(QObject *parent, fortune::Connection::Events events);
