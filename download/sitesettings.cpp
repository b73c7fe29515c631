#include "sitesettings.h"

#include <QUrl>

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

// An IPv6 address as the socket reads one, a zone such as "%eth0" after it
// allowed. Qt Core's URL parser checks it, so that reading a site never needs
// Qt Network (see connection.h).
bool isIPv6Address(const QString &text)
{
    const QString simple = text.simplified();
    const qsizetype zone = simple.lastIndexOf(u'%');
    const QString address = zone < 0 ? simple : simple.left(zone);
    // "v..." is a URL's address of the future, not IPv6.
    if (address.isEmpty() || address.contains(u'%') || address.startsWith(u'v', Qt::CaseInsensitive))
        return false;
    QUrl url;
    url.setHost(u'[' + address + u']', QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty();
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
        if (!isIPv6Address(host))
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
