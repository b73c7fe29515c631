#include "sitesettings.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace fortune {

QString SiteSettings::display() const
{
    const bool ipv6 = RemoteHost.contains(u':');
    return (ipv6 ? u'[' + RemoteHost + u']' : RemoteHost) + u':' + QString::number(RemotePort);
}

SiteSettings defaultSiteSettings()
{
    return SiteSettings{QStringLiteral(FORTUNE_SITE_DOMAIN), quint16(FORTUNE_SITE_PORT), FORTUNE_SITE_PLACEHOLDER != 0};
}

QString quotedInMessage(QStringView text)
{
    // Room for any real address; a longer text keeps its two ends, which tell
    // what it was, and loses its middle.
    constexpr qsizetype kMost = 60;
    if (text.size() <= kMost)
        return u'"' + text.toString() + u'"';
    qsizetype head = kMost / 2, tail = kMost / 2;
    if (text[head - 1].isHighSurrogate())
        --head;
    if (text[text.size() - tail].isLowSurrogate())
        --tail;
    return u'"' + text.first(head).toString() + u'\u2026' + text.last(tail).toString() + u'"';
}

namespace {

SiteOption refused(const QString &why)
{
    SiteOption option;
    option.error = why;
    return option;
}

// Why host cannot be a host name, or nothing. It goes into the Host line as it
// is, so only what DNS names are made of passes: labels of letters, digits,
// hyphens (and underscores, which some local names carry), 1 to 63 of them,
// not starting or ending with a hyphen, 253 in all at most.
QString hostNameProblem(QStringView host)
{
    if (host.isEmpty())
        return QStringLiteral("no host name is given");
    for (QChar c : host) {
        const char16_t u = c.unicode();
        if (!((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '.' || u == '-' || u == '_'))
            return QStringLiteral("a host name cannot hold %1").arg(quotedInMessage(QString(c)));
    }
    if (host.size() > 253)
        return QStringLiteral("a host name has 253 characters at most");
    for (const QStringView label : host.split(u'.')) {
        if (label.isEmpty())
            return QStringLiteral("a host name has no empty parts between its dots");
        if (label.size() > 63)
            return QStringLiteral("each part of a host name between dots has 63 characters at most");
        if (label.startsWith(u'-') || label.endsWith(u'-'))
            return QStringLiteral("no part of a host name starts or ends with a hyphen");
    }
    return {};
}

// The HOST[:PORT] of a pasted address: without "http://" and without what
// follows the host and port (a path, a query), which the note tells of unless
// it is the page downloads ask for anyway.
SiteOption hostAndPort(QString &text)
{
    SiteOption result;
    if (const qsizetype scheme = text.indexOf(u"://"); scheme >= 0) {
        if (text.first(scheme).compare(u"http", Qt::CaseInsensitive) != 0)
            return refused(QStringLiteral("downloads go over http://, not %1").arg(quotedInMessage(text.first(scheme + 3))));
        text.remove(0, scheme + 3);
    }
    const qsizetype path = text.indexOf(QRegularExpression(QStringLiteral("[/?#]")));
    if (path < 0)
        return result;
    const QString left = text.sliced(path);
    text.truncate(path);
    if (left != u"/" && left != u"/fortune.shtml")
        result.note = QStringLiteral("the page asked for is always /fortune.shtml, not %1").arg(quotedInMessage(left));
    return result;
}

} // namespace

SiteOption parseSite(const QString &typed)
{
    QString text = typed;
    SiteOption result = hostAndPort(text);
    if (!result.ok())
        return result;
    QString host;
    QString port;
    bool hasPort = false;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return refused(QStringLiteral("the closing ] of the address is missing"));
        host = text.mid(1, close - 1);
        const QString rest = text.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':'))
                return refused(QStringLiteral("expected :PORT after the address"));
            port = rest.mid(1);
            hasPort = true;
        }
        // Read as the socket will read it, a zone such as "%eth0" allowed; the
        // reader passes over blanks and line breaks, which the Host line must
        // never get.
        const bool blank = std::any_of(host.cbegin(), host.cend(), [](QChar c) { return c.isSpace(); });
        QHostAddress address;
        if (blank || !address.setAddress(host) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return refused(QStringLiteral("%1 is not an IPv6 address").arg(quotedInMessage(host)));
    } else {
        const qsizetype colon = text.indexOf(u':');
        host = colon < 0 ? text : text.left(colon);
        if (colon >= 0) {
            port = text.mid(colon + 1);
            hasPort = true;
        }
        // A name in another script travels in its ASCII form (IDNA); one
        // that has none is told as it was typed.
        const bool ascii = std::all_of(host.cbegin(), host.cend(), [](QChar c) { return c.unicode() < 0x80; });
        if (const QByteArray ace = ascii ? QByteArray() : QUrl::toAce(host); !ace.isEmpty())
            host = QString::fromLatin1(ace);
        if (const QString problem = hostNameProblem(host); !problem.isEmpty())
            return refused(QStringLiteral("%1 is not a host name: %2").arg(quotedInMessage(text.left(colon)), problem));
    }
    result.site.RemoteHost = host;
    result.site.RemotePort = 80;
    if (hasPort) {
        bool digits = !port.isEmpty() && port.size() <= 5;
        for (QChar c : port)
            digits = digits && c >= u'0' && c <= u'9';
        const uint value = digits ? port.toUInt() : 0;
        if (value < 1 || value > 65535)
            return refused(QStringLiteral("the port must be a number from 1 to 65535, not %1").arg(quotedInMessage(port)));
        result.site.RemotePort = quint16(value);
    }
    return result;
}

SiteOption parseSiteOption(const QString &text)
{
    SiteOption option = parseSite(text);
    if (option.ok() && !option.note.isEmpty())
        option.error = option.note;
    if (!option.ok())
        option.error = QStringLiteral("--site %1: %2").arg(text, option.error);
    return option;
}

} // namespace fortune
