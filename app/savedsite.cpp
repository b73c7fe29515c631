#include "savedsite.h"

#include "fortunesformat.h"

#include <QSettings>
#include <QStandardPaths>

namespace fortune {

namespace {
const QString kSiteKey = QStringLiteral("site");
}

QString userSettingsPath()
{
    // Qt's native format on Linux and the BSDs is this INI file, named .conf;
    // elsewhere (the registry, property lists) a .ini file in the same scope
    // takes its place, so the file reads the same everywhere. Where the path
    // can be told without a QSettings, none is made: Qt tells a file it cannot
    // parse only to its first reader in a process, which must be
    // readSavedSite, or the file would be rewritten by a choice.
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/fortune-collector/fortune-collector.conf");
#else
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("fortune-collector"),
                     QStringLiteral("fortune-collector"))
        .fileName();
#endif
}

SavedSite readSavedSite(const QString &path)
{
    SavedSite saved;
    const QString shown = shownPath(path);
    const QString fallback = QStringLiteral("Downloads go to %1 until another site is chosen (Ctrl+L).")
                                 .arg(defaultSiteSettings().display());
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        saved.problem = QStringLiteral("The settings file \"%1\" cannot be read: %2. %3")
                            .arg(shown,
                                 settings.status() == QSettings::FormatError ? QStringLiteral("it is not in INI form")
                                                                             : QStringLiteral("it is not a file that can be read"),
                                 fallback);
        saved.readable = false;
        return saved;
    }
    // A value with a comma in it comes back as a list.
    saved.text = settings.value(kSiteKey).toStringList().join(QStringLiteral(", ")).trimmed();
    if (saved.text.isEmpty())
        return saved;
    const SiteOption parsed = parseSite(saved.text);
    if (parsed.ok())
        saved.site = parsed.site;
    else
        saved.problem = QStringLiteral("The site \"%1\" in \"%2\" cannot be used: %3. %4")
                            .arg(saved.text, shown, parsed.error, fallback);
    return saved;
}

Status saveSite(const QString &path, const QString &text, bool readable)
{
    QSettings settings(path, QSettings::IniFormat);
    if (readable && settings.status() == QSettings::NoError) {
        settings.setValue(kSiteKey, text);
        settings.sync();
    }
    if (!readable || settings.status() != QSettings::NoError)
        return Status::failure(QStringLiteral("Could not save the site in \"%1\"; it is used until the window closes.")
                                   .arg(shownPath(path)));
    return {};
}

} // namespace fortune
