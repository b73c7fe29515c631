#include "sitechooser.h"

#include "savedsite.h"

#include <QAction>
#include <QPushButton>

namespace fortune {

SiteChooser::SiteChooser(QPushButton *button, DownloadLoop &download, std::function<Dialogs &()> dialogs)
    : QObject(button), m_download(download), m_dialogs(std::move(dialogs))
{
    // On the button's own menu and as a shortcut of the window, so the
    // window's controls, captions and tab order stay as they are.
    m_action = new QAction(tr("Choose Site..."), button);
    m_action->setObjectName(QStringLiteral("chooseSite"));
    m_action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    m_action->setShortcutContext(Qt::WindowShortcut);
    button->addAction(m_action);
    button->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(m_action, &QAction::triggered, this, [this] { choose(); });
}

void SiteChooser::rememberIn(const QString &settingsPath)
{
    m_settingsPath = settingsPath;
    const SavedSite saved = readSavedSite(settingsPath);
    if (saved.site)
        m_download.setSite(*saved.site);
    m_startProblem = saved.problem;
    m_settingsReadable = saved.readable;
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

bool SiteChooser::choose()
{
    const QString question = tr("Download fortunes from which site?\nHOST or HOST:PORT, such as 192.168.1.20:8080");
    QString prompt = question;
    QString text = m_download.site().display();
    for (;;) {
        bool ok = false;
        text = m_dialogs().askText(prompt, &ok, text).trimmed();
        if (!ok)
            return false;
        const SiteOption parsed = parseSite(text);
        if (parsed.ok()) {
            m_download.setSite(parsed.site);
            if (!m_settingsPath.isEmpty())
                if (const Status saved = saveSite(m_settingsPath, text, m_settingsReadable); !saved.ok())
                    m_dialogs().showMessage(saved.error);
            return true;
        }
        // Asked again, with the reason above and what was typed in the box.
        QString reason = parsed.error;
        reason[0] = reason[0].toUpper();
        prompt = reason + QStringLiteral(".\n\n") + question;
    }
}

bool SiteChooser::offerAnother(const QString &message)
{
    return m_dialogs().askYesNo(message + QStringLiteral("\n\n") + tr("Choose another site?")) && choose();
}

} // namespace fortune
