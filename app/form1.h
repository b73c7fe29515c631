#pragma once

#include "cursor.h"
#include "dialogs.h"
#include "downloadloop.h"
#include "form1ui.h"
#include "fortunelist.h"
#include "location.h"

#include <QString>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace fortune {

class ListLoader;
struct LoadResult;
class SiteChooser;
class SingleStep;

// The program's one window: it wires its controls (Form1Ui) to the list, the
// loader (ListLoader: loads and searches, and the clicks that wait for
// them), the download loop (DownloadLoop, which holds the download's flags and
// the receive buffer) and the single steps, and words what they tell. The
// collection and the cursor live here; the labels only show them. Tests find
// the controls by their object names, the names below. What each button does:
//
//   cmdPrev, cmdNext  "<<", ">>": the fortune before or after, through the empty slot
//   Command1   hidden: connect to the fortune site (SingleStep); the receive
//              buffer says "Connecting...", then "Connected..."
//   Command2   hidden: empty the receive buffer and send the page request on
//              Command1's connection (SingleStep); the answer fills the buffer
//   Command3   "Download Fortunes": start the download loop (DownloadLoop)
//   Command4   "Reload": load the reload file after what the list holds
//   Command5   hidden: empty the reload file, show the extraction test on the
//              receive buffer (Command2's answer, or the loop's last page),
//              then write the reload file's one separator line
//   Command6   "Stop It Already!!!!": stop the download loop
//   Command7   "Search Quotes": ask for a term, say how many fortunes hold it
//              (one search at a time; the answer comes once it is counted);
//              F3 and Shift+F3 then go to the next and previous of them
//   Text1      hidden: the receive buffer as text, kept in step within a frame
//
// The clicks of ">>", "<<", "Reload", "Search Quotes" and F3 made during a
// load or a search take effect once it has ended, in the order made (ListLoader).
class Form1 : public QWidget, private Form1Ui {
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
    void startLoad();
    void loadEnded(const LoadResult &result, bool missingIsError);
    void askAndSearch();
    // F3, Shift+F3: to the next or previous fortune the last search counted.
    void findMatch(bool backwards);
    void showPosition(qsizetype position);
    void showFortune(qsizetype index);
    void showReceiveBuffer();
    void downloadFinished(const QString &failure);

    FortuneList Fortunes;
    fortune::Cursor Cursor;

    QString m_collectionPath;
    QString m_reloadPath;
    std::unique_ptr<Dialogs> m_dialogs;
    std::unique_ptr<DownloadLoop> m_download;
    std::unique_ptr<ListLoader> m_loader; // a child, gone before the list it loads into
    SiteChooser *m_siteChooser = nullptr; // "Choose Site...", on Command3's menu
    std::unique_ptr<SingleStep> m_step; // Command1 and Command2
    QTimer m_text1Frame;       // Text1 follows the buffer at most once a frame...
    bool m_text1Behind = false; // ...and is behind it until the frame ends
    bool m_loadPending = false;
    bool m_makeFolder = false;
    QString m_folderProblem; // why the collection's folder could not be made
};

} // namespace fortune
