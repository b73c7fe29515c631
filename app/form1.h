#pragma once

#include "cursor.h"
#include "dialogs.h"
#include "downloadloop.h"
#include "fortunelist.h"
#include "location.h"

#include <QString>
#include <QTimer>
#include <QWidget>

#include <memory>

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace fortune {

class FortuneView;
class FortunesLoad;
class SiteChooser;
struct Twips;
class SingleStep;

// The program's one window. The collection, the cursor and the download flags
// live here; the labels only show them. Tests find the controls by their
// object names, the names below. What each button does:
//
//   cmdPrev, cmdNext  "<<", ">>": the fortune before or after, through the empty slot
//   Command1   hidden: connect to the fortune site (SingleStep); Text1 says
//              "Connecting...", then "Connected..."
//   Command2   hidden: empty the receive buffer and send the page request on
//              Command1's connection (SingleStep); the answer fills the buffer
//   Command3   "Download Fortunes": start the download loop (DownloadLoop)
//   Command4   "Reload": load the reload file after what the list holds (once
//              a load under way has ended)
//   Command5   hidden: rewrite the reload file, then show the extraction test
//              on the receive buffer (Command2's answer, or the loop's last page)
//   Command6   "Stop It Already!!!!": stop the download loop
//   Command7   "Search Quotes": ask for a term, say how many fortunes hold it
//              (one search at a time; the answer comes once it is counted)
class Form1 : public QWidget {
    Q_OBJECT

public:
    // collectionPath is read at start, reloadPath by "Reload".
    explicit Form1(QString collectionPath = collectionFilePath(),
                   QString reloadPath = reloadFilePath(), QWidget *parent = nullptr);
    ~Form1() override;

    // Replaces the message and input boxes (tests answer them without a modal loop).
    void setDialogs(std::unique_ptr<Dialogs> dialogs);
    // Makes the collection's folder at start (an installed copy keeps it in the
    // user's data folder, which may not exist yet); when that fails, the start
    // and every "Download Fortunes" say so.
    void setMakesCollectionFolder(bool make) { m_makeFolder = make; }

    const QString &collectionPath() const { return m_collectionPath; }
    const QString &reloadPath() const { return m_reloadPath; }

    // Downloads go to the site saved in this settings file (the built-in
    // site when it names none), and a site chosen in the window is saved there.
    void rememberSiteIn(const QString &settingsPath);
    // Where downloads go for this run (--site), whatever the settings say.
    void setSite(const SiteSettings &site);
    DownloadLoop &download() { return *m_download; }

signals:
    // A load (at start or by "Reload") has ended, whatever its outcome.
    void loadFinished();

public slots:
    // Shows the window, then loads the collection from the event loop.
    void Form_Load();
    void cmdNext_Click();
    void cmdPrev_Click();
    void Command4_Click();
    void Command7_Click();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command5_Click();
    void Command6_Click();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls(const Twips &twips);
    void startLoad();
    // Runs a fortunes file into Fortunes after what is there, a slice at a
    // time from the event loop (a small file at once). A missing file is
    // reported only when missingIsError.
    void loadFile(const QString &path, bool missingIsError);
    void continueLoad();
    void continueSearch();
    void showCount();
    void showFortune(qsizetype index);
    void downloadFinished(const QString &failure);

    FortuneList Fortunes;
    fortune::Cursor Cursor;

    // The controls, by the names tests and the table above use.
    QPushButton *Command7 = nullptr;
    QPushButton *Command6 = nullptr;
    QGroupBox *Frame1 = nullptr;
    QPushButton *Command4 = nullptr;
    QPushButton *cmdNext = nullptr;
    QPushButton *cmdPrev = nullptr;
    FortuneView *lblFortune = nullptr; // a text view, keeping the label's name
    QLabel *lblFNum = nullptr;
    QPushButton *Command3 = nullptr;
    QPushButton *Command5 = nullptr;
    QPlainTextEdit *Text1 = nullptr;
    QPushButton *Command2 = nullptr;
    QPushButton *Command1 = nullptr;
    QLabel *Label1 = nullptr;

    QString m_collectionPath;
    QString m_reloadPath;
    std::unique_ptr<Dialogs> m_dialogs;
    std::unique_ptr<DownloadLoop> m_download;
    SiteChooser *m_siteChooser = nullptr; // "Choose Site...", on Command3's menu
    std::unique_ptr<SingleStep> m_step; // Command1 and Command2
    bool m_loadPending = false;
    // Slices go on from a zero timer rather than a posted call, which would
    // go ahead of the window's paints every time and starve them.
    QTimer m_loadSlices, m_searchSlices;
    std::unique_ptr<FortunesLoad> m_load; // the load under way
    bool m_loadMissingIsError = false;
    int m_reloadsWaiting = 0;             // "Reload" clicked during a load
    std::unique_ptr<FortuneList::Count> m_search; // the search under way
    QString m_searchTerm;
    bool m_makeFolder = false;
    QString m_folderProblem; // why the collection's folder could not be made
};

} // namespace fortune
