#include "sitechooser.h"

#include "savedsite.h"

#include <QAction>
#include <QPushButton>

namespace fortune {

SiteChooser::SiteChooser(QPushButton *button, DownloadLoop &download, std::function<Dialogs &()> dialogs)
    : QObject(button), m_download(download), m_dialogs(std::move(dialogs))
{
    // On the button's own menu and as a shortcut of the whole window, so the
    // window's controls, captions and tab order stay as they are; the button
    // says where to find it.
    m_action = new QAction(tr("Choose Site..."), button);
    m_action->setObjectName(QStringLiteral("chooseSite"));
    m_action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    m_action->setShortcutContext(Qt::WindowShortcut);
    button->addAction(m_action);
    button->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(m_action, &QAction::triggered, this, [this] { choose(); });
    const QString hint = tr("Downloads fortunes until stopped. Ctrl+L, or \"Choose Site...\" on this button's "
                            "right-click menu, chooses the site.");
    button->setToolTip(hint);
    button->setAccessibleDescription(hint);
}

void SiteChooser::rememberIn(const QString &settingsPath)
{
    m_settingsPath = settingsPath;
    const SavedSite saved = readSavedSite(settingsPath);
    if (saved.site)
        m_download.setSite(*saved.site);
    m_startProblem = saved.problem;
}

void SiteChooser::setSiteForThisRun(const SiteSettings &site)
{
    m_download.setSite(site);
    m_startProblem.clear();
}

void SiteChooser::tellStartProblem()
{
    if (!m_startProblem.isEmpty())
        m_dialogs().showMessage(std::exchange(m_startProblem, QString()));
}

bool SiteChooser::siteToDownloadFrom()
{
    return !m_download.site().placeholder
           || choose(tr("No site is chosen yet: a collection is shared by running fortune-site on its machine, "
                        "which prints the address to type here (Ctrl+L, or \"Choose Site...\" on the right-click "
                        "menu of \"Download Fortunes\", changes it later)."));
}

bool SiteChooser::choose(const QString &why)
{
    const SiteSettings builtIn = defaultSiteSettings();
    QString question = tr("Download fortunes from which site?\nHOST or HOST:PORT, such as 192.168.1.20:8080, or the "
                          "address fortune-site prints");
    if (!builtIn.placeholder)
        question += tr("; empty for the built-in site, %1").arg(builtIn.display());
    QString prompt = why.isEmpty() ? question : why + QStringLiteral("\n\n") + question;
    QString text = m_download.site().placeholder ? QString() : m_download.site().display();
    for (;;) {
        bool ok = false;
        text = m_dialogs().askText(prompt, &ok, text).trimmed();
        if (!ok)
            return false;
        const SiteOption parsed = text.isEmpty() ? SiteOption{builtIn, {}, {}} : parseSite(text);
        if (parsed.ok()) {
            QStringList said = use(text.isEmpty() ? std::nullopt : std::optional(parsed.site));
            if (!parsed.note.isEmpty())
                said.prepend(tr("Downloads go to %1; %2.").arg(parsed.site.display(), parsed.note));
            said.removeAll(QString());
            if (!said.isEmpty())
                m_dialogs().showMessage(said.join(QStringLiteral("\n\n")));
            return !m_download.site().placeholder;
        }
        // Asked again, with the reason above and what was typed in the box.
        QString reason = parsed.error;
        reason[0] = reason[0].toUpper();
        prompt = reason + QStringLiteral(".\n\n") + question;
    }
}

QStringList SiteChooser::use(const std::optional<SiteSettings> &site)
{
    m_download.setSite(site.value_or(defaultSiteSettings()));
    if (m_settingsPath.isEmpty())
        return {};
    const Status saved = saveSite(m_settingsPath, site ? site->display() : QString());
    return {saved.error};
}

bool SiteChooser::offerAnother(const QString &message)
{
    return m_dialogs().askYesNo(message + QStringLiteral("\n\n") + tr("Choose another site?")) && choose();
}

} // namespace fortune
