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
class SiteChooser : public QObject {
    Q_OBJECT
public:
    SiteChooser(QPushButton *button, DownloadLoop &download, std::function<Dialogs &()> dialogs);

    // Reads the remembered site and downloads go there; a site chosen later
    // is saved in the same file. A value that cannot be used is told once by
    // tellStartProblem().
    void rememberIn(const QString &settingsPath);
    // Downloads go to site for this run, whatever the file says.
    void setSiteForThisRun(const SiteSettings &site);
    void tellStartProblem();

    // The input box, showing the current site, until a site that can be used
    // is given or the box is cancelled. A chosen site is saved, and downloads
    // go there from the next cycle on. True when one was chosen.
    bool choose();
    // After a cycle could not connect: the message, and whether to choose
    // another site. True when one was chosen.
    bool offerAnother(const QString &message);

private:
    DownloadLoop &m_download;
    std::function<Dialogs &()> m_dialogs;
    QAction *m_action = nullptr;
    QString m_settingsPath;
    QString m_startProblem;
    bool m_settingsReadable = true;
};

} // namespace fortune
