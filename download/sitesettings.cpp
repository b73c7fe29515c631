#include "sitesettings.h"

#include <QHostAddress>

#include <algorithm>

namespace fortune {

QString SiteSettings::display() const
{
    const bool ipv6 = RemoteHost.contains(u':');
    return (ipv6 ? u'[' + RemoteHost + u']' : RemoteHost) + u':' + QString::number(RemotePort);
}

SiteSettings defaultSiteSettings()
{
    return SiteSettings{QStringLiteral(FORTUNE_SITE_DOMAIN), quint16(FORTUNE_SITE_PORT)};
}

namespace {

// A host name goes into the Host line as it is, so it must not be able to break
// the request: letters, digits, dots, hyphens and underscores only.
bool isHostName(QStringView host)
{
    if (host.isEmpty() || host.size() > 253)
        return false;
    for (QChar c : host) {
        const char16_t u = c.unicode();
        const bool fine = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')
                          || u == '.' || u == '-' || u == '_';
        if (!fine)
            return false;
    }
    return true;
}

} // namespace

SiteOption parseSite(const QString &text)
{
    SiteOption result;
    QString host;
    QString port;
    bool hasPort = false;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return {{}, QStringLiteral("the closing ] of the address is missing")};
        host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                return {{}, QStringLiteral("expected :PORT after the address")};
            port = rest.mid(1);
            hasPort = true;
        }
        // Read as the socket will read it, a zone such as "%eth0" allowed; the
        // reader passes over blanks and line breaks, which the Host line must
        // never get.
        const bool blank = std::any_of(host.cbegin(), host.cend(), [](QChar c) { return c.isSpace(); });
        QHostAddress address;
        if (blank || !address.setAddress(host) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return {{}, QStringLiteral("\"%1\" is not an IPv6 address").arg(host)};
    } else {
        const qsizetype colon = text.indexOf(u':');
        host = colon < 0 ? text : text.left(colon);
        if (colon >= 0) {
            port = text.mid(colon + 1);
            hasPort = true;
        }
        if (!isHostName(host))
            return {{}, QStringLiteral("\"%1\" is not a host name").arg(host)};
    }
    result.site.RemoteHost = host;
    result.site.RemotePort = 80;
    if (hasPort) {
        bool digits = !port.isEmpty() && port.size() <= 5;
        for (QChar c : port)
            digits = digits && c >= u'0' && c <= u'9';
        const uint value = digits ? port.toUInt() : 0;
        if (value < 1 || value > 65535)
            return {{}, QStringLiteral("the port must be a number from 1 to 65535, not \"%1\"").arg(port)};
        result.site.RemotePort = quint16(value);
    }
    return result;
}

SiteOption parseSiteOption(const QString &text)
{
    SiteOption option = parseSite(text);
    if (!option.ok())
        option.error = QStringLiteral("--site %1: %2").arg(text, option.error);
    return option;
}

} // namespace fortune
