#pragma once

#include "dialogs.h"
#include "downloadloop.h"

#include <QObject>

#include <functional>

class QAction;
class QPushButton;

namespace fortune {

// The window's choice of site: the site remembered in the settings file, one
// given for this run, and "Choose Site..." (on the menu of the button it is
// given, and Ctrl+L), which asks for a site in an input box and saves it.
// The button's tooltip and accessible description tell how to choose one.
class SiteChooser : public QObject {
    Q_OBJECT
public:
    SiteChooser(QPushButton *button, DownloadLoop &download, std::function<Dialogs &()> dialogs);

    // Reads the remembered site and downloads go there; a site chosen later
    // is saved in the same file. A value that cannot be used, or a file the
    // window must not write, is told once by tellStartProblem().
    void rememberIn(const QString &settingsPath);
    // Downloads go to site for this run, whatever the file says.
    void setSiteForThisRun(const SiteSettings &site);
    void tellStartProblem();

    // Before a download: true when there is a site to download from. With
    // none chosen yet (the built-in site is a placeholder), the box asks for
    // one first, saying so; Cancel leaves everything as it was.
    bool siteToDownloadFrom();
    // The input box, showing the current site, until a site that can be used
    // is given or the box is cancelled; why, when given, opens the question.
    // A chosen site is saved, and downloads go there from the next cycle on;
    // an empty box goes back to the built-in site. True when downloads now
    // have a site to go to.
    bool choose(const QString &why = {});
    // After a cycle failed at the site: the message, and whether to choose
    // another site. True when one was chosen.
    bool offerAnother(const QString &message);

private:
    // Downloads go to site from the next cycle on, and it is saved (none: the
    // built-in one, the setting removed). The problems of the choice, if any.
    QStringList use(const std::optional<SiteSettings> &site);

    DownloadLoop &m_download;
    std::function<Dialogs &()> m_dialogs;
    QAction *m_action = nullptr;
    QString m_settingsPath;
    QString m_startProblem;
};

} // namespace fortune
