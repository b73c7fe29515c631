#pragma once

#include "fileio.h"

#include <QString>

#include <chrono>

namespace fortune {

// Where downloads go. RemoteHost is the site's bare domain; the Host line of the
// page request names the same domain behind "www.".
struct SiteSettings {
    QString RemoteHost; // a host name in its ASCII form, or an IPv6 address
    quint16 RemotePort = 80;
    // The built-in site of a build that names none of its own: a name under a
    // top-level domain reserved for examples, which reaches nobody. The window
    // asks for a site rather than downloading from it.
    bool placeholder = false;

    QString webHost() const { return QStringLiteral("www.") + RemoteHost; }
    // "host:port", as messages name the site.
    QString display() const;
};

// The site built in (CMake cache variables FORTUNE_SITE_DOMAIN and FORTUNE_SITE_PORT;
// CMake tells whether the domain is a placeholder).
SiteSettings defaultSiteSettings();

struct SiteOption {
    SiteSettings site;
    QString error; // empty when the text was valid
    QString note;  // why a pasted address's path is not used (as the error, a reason alone)
    bool ok() const { return error.isEmpty(); }
};

// A site as the user writes it: "HOST" or "HOST:PORT" (port 80 when left out);
// an IPv6 address goes in brackets, "[::1]:8080"; or an address as fortune-site
// prints it and browsers show it, "http://HOST:PORT/fortune.shtml", whose path
// is left out (a path other than the page's is told in the note). A name in
// another script becomes its ASCII form (IDNA), as Qt's URL classes write it.
// display() gives the site back as HOST:PORT. The error is the reason alone,
// for the caller to say where the text came from.
SiteOption parseSite(const QString &text);
// The same for the value of --site, the error naming the option; a path that
// would be left out is an error there.
SiteOption parseSiteOption(const QString &text);

// A text the user gave, in double quotes, for a message: shortened in the
// middle when long, so that the box showing the message fits on the screen.
QString quotedInMessage(QStringView text);

// How long each wait of a download cycle may last. Kept together so that the
// program and the tests change them in one place.
struct DownloadTimeouts {
    std::chrono::milliseconds connect{15'000}; // until the connection is made
    std::chrono::milliseconds idle{20'000};    // without any new data while a page comes in
    std::chrono::milliseconds page{60'000};    // for the whole page, from the request on
    std::chrono::milliseconds lock{kLockPatience}; // for another writer's lock on the collection file
    std::chrono::milliseconds busy{60'000};    // for a site that keeps answering it is busy, from its first such answer
};

} // namespace fortune
