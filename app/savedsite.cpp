#include "savedsite.h"

#include <QDir>
#include <QSettings>

namespace fortune {

namespace {
const QString kSiteKey = QStringLiteral("site");
}

QString userSettingsPath()
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("fortune-collector"),
                     QStringLiteral("fortune-collector"))
        .fileName();
}

SavedSite readSavedSite(const QString &path)
{
    SavedSite saved;
    const QString shown = QDir::toNativeSeparators(path);
    const QString fallback = defaultSiteSettings().display();
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        saved.problem = QStringLiteral("The settings file %1 cannot be read. Downloads go to %2.").arg(shown, fallback);
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
        saved.problem = QStringLiteral("The site \"%1\" in %2 cannot be used: %3. Downloads go to %4 until "
                                       "another site is chosen (Ctrl+L).")
                            .arg(saved.text, shown, parsed.error, fallback);
    return saved;
}

Status saveSite(const QString &path, const QString &text)
{
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue(kSiteKey, text);
    settings.sync();
    if (settings.status() != QSettings::NoError)
        return Status::failure(QStringLiteral("Could not save the site in %1; it is used until the window closes.")
                                   .arg(QDir::toNativeSeparators(path)));
    return {};
}

} // namespace fortune
