#include "savedsite.h"

#include "fortunesformat.h"
#include "inifile.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace fortune {

namespace {

const QString kSiteKey = QStringLiteral("site");

// Why the window must not write the settings file as it stands: a line that
// is not INI, or something else than a regular file in its place.
QString unwritable(const QString &path, const QByteArray &bytes)
{
    if (QFileInfo::exists(path) && !QFileInfo(path).isFile())
        return QStringLiteral("it is not a regular file");
    if (const std::optional<IniBadLine> bad = iniBadLine(bytes))
        return QStringLiteral("line %1 (%2) is not a [section], a comment or key=value")
            .arg(QString::number(bad->number), quotedInMessage(QString::fromUtf8(bad->text)));
    return {};
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Replaces the file at path by bytes in one step: a reader, or a program
// killed on the way, finds the old file or the new one whole (at worst a
// temporary file is left beside it). Through a symbolic link, the file it
// points to is replaced and the link stays (QSaveFile follows links). The
// caller has refused anything but a regular file; a missing folder is made.
Status replaceSettingsFile(const QString &path, QByteArrayView bytes)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return Status::failure(QStringLiteral("its folder cannot be made"));
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes.data(), bytes.size()) != bytes.size() || !file.commit())
        return Status::failure(file.errorString());
    return {};
}

} // namespace

QString userSettingsPath()
{
    // Qt's native format on Linux and the BSDs is this INI file, named .conf;
    // elsewhere (the registry, property lists) a .ini file in the same scope
    // takes its place, so the file reads the same everywhere. Where the path
    // can be told without a QSettings, none is made: Qt tells a file it cannot
    // parse only to its first reader in a process, which must be
    // readSavedSite.
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
    const SiteSettings builtIn = defaultSiteSettings();
    const QString fallback = builtIn.placeholder
                                 ? QStringLiteral("No site is used until one is chosen (Ctrl+L).")
                                 : QStringLiteral("Downloads go to %1 until another site is chosen (Ctrl+L).").arg(builtIn.display());
    const QString why = unwritable(path, readBytes(path));
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        const QString qtWhy = settings.status() == QSettings::FormatError ? QStringLiteral("it is not in INI form")
                                                                          : QStringLiteral("it is not a file that can be read");
        saved.problem = QStringLiteral("The settings file \"%1\" cannot be read: %2. %3").arg(shown, why.isEmpty() ? qtWhy : why, fallback);
        return saved;
    }
    // The site is read all the same: QSettings makes what it can of the file.
    if (!why.isEmpty())
        saved.problem = QStringLiteral("The settings file \"%1\" is left as it is: %2. A site chosen in the window "
                                       "is used until it closes.")
                            .arg(shown, why);
    // A value with a comma in it comes back as a list.
    saved.text = settings.value(kSiteKey).toStringList().join(QStringLiteral(", ")).trimmed();
    if (saved.text.isEmpty())
        return saved;
    const SiteOption parsed = parseSite(saved.text);
    if (parsed.ok())
        saved.site = parsed.site;
    else
        saved.problem = QStringLiteral("The site %1 in \"%2\" cannot be used: %3. %4 %5")
                            .arg(quotedInMessage(saved.text), shown, parsed.error, fallback, saved.problem)
                            .trimmed();
    return saved;
}

Status saveSite(const QString &path, const QString &site)
{
    const QByteArray before = readBytes(path);
    QString why = unwritable(path, before);
    const QByteArray value = site.toUtf8();
    const QByteArray after = withGeneralValue(before, kSiteKey.toUtf8(),
                                              site.isEmpty() ? std::nullopt : std::optional<QByteArrayView>(value));
    if (why.isEmpty() && after != before)
        why = replaceSettingsFile(path, after).error;
    if (!why.isEmpty())
        return Status::failure(QStringLiteral("Could not save the site in \"%1\": %2; it is used until the window closes.")
                                   .arg(shownPath(path), why));
    return {};
}

} // namespace fortune
