#pragma once

#include "fortunelist.h"
#include "sitesettings.h"

#include <QString>

#include <optional>

namespace fortune {

// Where the window keeps the site it downloads from between runs: the user's
// settings file, in INI form (key "site" of [General], value HOST:PORT). On
// Linux $XDG_CONFIG_HOME/fortune-collector/fortune-collector.conf
// (~/.config/... when unset). QSettings reads it; a choice edits the one line
// (inifile.h), keeping the rest as the user wrote it.
QString userSettingsPath();

struct SavedSite {
    std::optional<SiteSettings> site; // none saved, or one that cannot be used
    QString text;                     // as the file has it
    QString problem;                  // why it cannot be used, or the file not written, naming the file
};
// Reads the saved site from the settings file at path; an absent or empty
// value is no site.
SavedSite readSavedSite(const QString &path);

// Saves site (HOST:PORT; empty: the setting is removed) in the file at path,
// changing its "site" line only. A file the window must not write (a line
// that is not INI, not a regular file) is left as it is.
Status saveSite(const QString &path, const QString &site);

} // namespace fortune
