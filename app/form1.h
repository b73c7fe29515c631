#pragma once

#include "browsing.h"
#include "dialogs.h"
#include "downloadloop.h"
#include "fortunelist.h"
#include "location.h"

#include <QString>
#include <QWidget>

#include <memory>

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace fortune {

// The program's one window. The collection, the cursor and the download flags
// live here; the labels only show them.
class Form1 : public QWidget {
    Q_OBJECT

public:
    // collectionPath is read at start, reloadPath by "Reload".
    explicit Form1(QString collectionPath = collectionFilePath(),
                   QString reloadPath = reloadFilePath(), QWidget *parent = nullptr);
    ~Form1() override;

    // Replaces the message and input boxes (tests answer them without a modal loop).
    void setDialogs(std::unique_ptr<Dialogs> dialogs);
    Dialogs &dialogs() { return *m_dialogs; }

    const QString &collectionPath() const { return m_collectionPath; }
    const QString &reloadPath() const { return m_reloadPath; }

    // Where downloads go (--site); the built-in site otherwise.
    void setSite(const SiteSettings &site) { m_download->setSite(site); }
    DownloadLoop &download() { return *m_download; }

    FortuneList Fortunes;
    fortune::Cursor Cursor;

signals:
    // A load (at start or by "Reload") has ended, whatever its outcome.
    void loadFinished();

public slots:
    // Shows the window, then loads the collection once it has been painted.
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
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    // Runs a fortunes file into Fortunes after what is there. A missing file is
    // reported only when missingIsError. Returns false when a message was shown.
    bool loadFile(const QString &path, bool missingIsError);
    void showCount();
    void showFortune(qsizetype index);
    void loadCollection();
    void downloadFinished(const QString &message);

public:
    // The controls, named as in the window's design.
    QPushButton *Command7 = nullptr;
    QPushButton *Command6 = nullptr;
    QGroupBox *Frame1 = nullptr;
    QPushButton *Command4 = nullptr;
    QPushButton *cmdNext = nullptr;
    QPushButton *cmdPrev = nullptr;
    QLabel *lblFortune = nullptr;
    QLabel *lblFNum = nullptr;
    QPushButton *Command3 = nullptr;
    QPushButton *Command5 = nullptr;
    QPlainTextEdit *Text1 = nullptr;
    QPushButton *Command2 = nullptr;
    QPushButton *Command1 = nullptr;
    QLabel *Label1 = nullptr;

private:
    QString m_collectionPath;
    QString m_reloadPath;
    std::unique_ptr<Dialogs> m_dialogs;
    std::unique_ptr<DownloadLoop> m_download;
    bool m_loadWhenPainted = false;
};

} // namespace fortune
