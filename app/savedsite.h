#pragma once

#include "fortunelist.h"
#include "sitesettings.h"

#include <QString>

#include <optional>

namespace fortune {

// Where the window keeps the site it downloads from between runs: the user's
// settings file, as QSettings writes it in INI form (key "site", value
// HOST[:PORT]). On Linux $XDG_CONFIG_HOME/fortune-collector/fortune-collector.conf
// (~/.config/... when unset).
QString userSettingsPath();

struct SavedSite {
    std::optional<SiteSettings> site; // none saved, or one that cannot be used
    QString text;                     // as the file has it
    QString problem;                  // why it cannot be used, naming the file
    bool readable = true;             // false: the file is there but Qt cannot read it
};
// Reads the saved site from the settings file at path; an absent or empty
// value is no site.
SavedSite readSavedSite(const QString &path);

// Saves the site as the user wrote it (text must parse with parseSite). A
// file that cannot be read is left as it is: Qt would write back what it made
// of it, and what it could not make sense of would be lost. (Qt reports such a
// file only to the first reader in a process: pass what readSavedSite said.)
Status saveSite(const QString &path, const QString &text, bool readable = true);

} // namespace fortune
