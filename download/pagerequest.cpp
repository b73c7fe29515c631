#include "pagerequest.h"

#include "sock.h"

namespace fortune {

QList<QByteArray> pageRequestTexts(const QString &webHost)
{
    return {
        QByteArrayLiteral("GET /fortune.shtml HTTP/1.1\r\n"),
        QByteArrayLiteral("Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
                          "application/x-shockwave-flash, application/vnd.ms-excel, application/msword, "
                          "application/vnd.ms-powerpoint, */*\r\n"),
        QByteArrayLiteral("Host: ") + webHost.toLatin1() + QByteArrayLiteral("\r\n"),
        QByteArrayLiteral("User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; .NET CLR 1.1.4322)\r\n"),
        QByteArrayLiteral("\r\n"),
    };
}

bool sendPageRequest(Sock &sock, const QString &webHost)
{
    for (const QByteArray &text : pageRequestTexts(webHost)) {
        if (!sock.SendData(text))
            return false;
    }
    // The five texts still leave in the order sent, nothing between them; they
    // just go now instead of one turn of the event loop later.
    sock.flush();
    return true;
}

} // namespace fortune
