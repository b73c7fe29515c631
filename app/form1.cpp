#include "form1.h"

#include "extraction.h"
#include "fortuneview.h"
#include "listloader.h"
#include "reloadfile.h"
#include "singlestep.h"
#include "sitechooser.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLoggingCategory>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWindow>

Q_LOGGING_CATEGORY(lcForm, "fortune.form", QtWarningMsg)

namespace fortune {

namespace {

// Text1 holds the receive buffer up to this size, far more than any fortune
// page: a text box lays out what it holds even when hidden, a megabyte in
// about a second.
constexpr qsizetype kText1Bytes = 32 * 1024;
constexpr std::chrono::milliseconds kFrame{16};

} // namespace

Form1::Form1(QString collectionPath, QString reloadPath, QWidget *parent)
    : QWidget(parent),
      m_collectionPath(std::move(collectionPath)),
      m_reloadPath(std::move(reloadPath)),
      m_dialogs(std::make_unique<WidgetDialogs>(this)),
      m_download(std::make_unique<DownloadLoop>(Fortunes, m_collectionPath)),
      m_loader(std::make_unique<ListLoader>(Fortunes, this)),
      m_step(std::make_unique<SingleStep>(*m_download))
{
    setupUi(this);
    m_siteChooser = new SiteChooser(Command3, *m_download, [this]() -> Dialogs & { return *m_dialogs; });
    const QString search = tr("Counts the fortunes that contain a term, in any letter case. After that, F3 "
                              "shows the next of them and Shift+F3 the one before.");
    Command7->setToolTip(search);
    Command7->setAccessibleDescription(search);

    connect(cmdNext, &QPushButton::clicked, this, &Form1::cmdNext_Click);
    connect(cmdPrev, &QPushButton::clicked, this, &Form1::cmdPrev_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(Command7, &QPushButton::clicked, this, &Form1::Command7_Click);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(Command5, &QPushButton::clicked, this, &Form1::Command5_Click);
    connect(Command6, &QPushButton::clicked, this, &Form1::Command6_Click);

    connect(m_loader.get(), &ListLoader::countChanged, this,
            [this](qsizetype count) { Label1->setText(QString::number(count)); });
    connect(m_loader.get(), &ListLoader::loadEnded, this, &Form1::loadEnded);
    // The term as typed, however long: the message box wraps it.
    connect(m_loader.get(), &ListLoader::searchEnded, this,
            [this](qsizetype hits, const QString &term) { m_dialogs->showMessage(searchMessage(hits, term)); });
    // The count rises as downloads store fortunes; the fortune on show and the
    // cursor stay as they are.
    connect(m_download.get(), &DownloadLoop::fortuneStored, this,
            [this](qsizetype count) { Label1->setText(QString::number(count)); });
    connect(m_download.get(), &DownloadLoop::finished, this, &Form1::downloadFinished);
    // While the site asks for a moment's wait, the count's tooltip says why it stands still.
    connect(m_download.get(), &DownloadLoop::siteBusy, Label1, &QLabel::setToolTip);
    connect(m_step.get(), &SingleStep::connectFinished, this, [this](const QString &message) {
        if (!message.isEmpty())
            m_dialogs->showMessage(message);
    });
    m_text1Frame.setSingleShot(true);
    connect(&m_text1Frame, &QTimer::timeout, this, &Form1::showReceiveBuffer);
    connect(m_download.get(), &DownloadLoop::receiveBufferChanged, this, [this] {
        m_text1Behind = true;
        if (!m_text1Frame.isActive())
            showReceiveBuffer();
    });
}

Form1::~Form1() = default;

void Form1::setDialogs(std::unique_ptr<Dialogs> dialogs)
{
    m_dialogs = std::move(dialogs);
}

void Form1::rememberSiteIn(const QString &settingsPath)
{
    m_siteChooser->rememberIn(settingsPath);
}

void Form1::setSite(const SiteSettings &site)
{
    m_siteChooser->setSiteForThisRun(site);
}

void Form1::Form_Load()
{
    show();
    // The file is read once the window is on screen with its starting
    // captions, so that the count is seen rising: right after the window system
    // exposes the window. One it never exposes (started minimized, on another
    // workspace) loads all the same, a moment later. Clicks wait for it.
    m_loader->holdForLoad();
    m_loadPending = true;
    windowHandle()->installEventFilter(this);
    constexpr int kLoadAtLatestMs = 200;
    QTimer::singleShot(kLoadAtLatestMs, this, &Form1::startLoad);
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    // The expose paints the window; the load comes after it, from the event loop.
    if (watched == windowHandle() && event->type() == QEvent::Expose && windowHandle()->isExposed())
        QTimer::singleShot(0, this, &Form1::startLoad);
    return QWidget::eventFilter(watched, event);
}

void Form1::startLoad()
{
    if (!m_loadPending)
        return;
    m_loadPending = false;
    windowHandle()->removeEventFilter(this);
    if (m_makeFolder) {
        m_folderProblem = makeFolderFor(m_collectionPath);
        if (!m_folderProblem.isEmpty())
            m_dialogs->showMessage(m_folderProblem);
    }
    m_siteChooser->tellStartProblem();
    // No collection file yet is a first start, not an error: the first stored
    // download creates it.
    m_loader->load(m_collectionPath, false);
}

void Form1::loadEnded(const LoadResult &result, bool missingIsError)
{
    bool ok = true;
    switch (result.outcome) {
    case LoadResult::Outcome::Loaded:
        break;
    case LoadResult::Outcome::Missing:
        ok = !missingIsError;
        break;
    case LoadResult::Outcome::Failed:
    case LoadResult::Outcome::Full:
        ok = false;
        break;
    }
    // Records stored before a failure (a full list, a read error) stay, and
    // are shown as after any load.
    if (ok || result.stored > 0)
        showFortune(0);
    if (!ok) {
        qCInfo(lcForm) << "load failed:" << result.error;
        m_dialogs->showMessage(result.error);
    }
    emit loadFinished();
}

void Form1::showPosition(qsizetype position)
{
    lblFNum->setText(QString::number(position));
    showFortune(position);
}

void Form1::showFortune(qsizetype index)
{
    lblFortune->showFortune(Fortunes.textAt(index));
}

void Form1::cmdNext_Click()
{
    m_loader->whenIdle([this] { showPosition(Cursor.next(Fortunes.count())); });
}

void Form1::cmdPrev_Click()
{
    m_loader->whenIdle([this] { showPosition(Cursor.previous(Fortunes.count())); });
}

void Form1::findMatch(bool backwards)
{
    const qsizetype before = Cursor.position();
    const std::vector<quint32> &matches = m_loader->matches();
    const qsizetype now = backwards ? Cursor.previousOf(matches) : Cursor.nextOf(matches);
    if (now != before) // the fortune on show stays as it is, scrolled as it is
        showPosition(now);
}

void Form1::Command4_Click()
{
    m_loader->whenIdle([this] { m_loader->load(m_reloadPath, true); });
}

void Form1::Command7_Click()
{
    // One search at a time: a click while one counts is let go, its answer comes.
    if (!m_loader->isSearching())
        m_loader->whenIdle([this] { askAndSearch(); });
}

void Form1::askAndSearch()
{
    bool ok = false;
    const QString term = m_dialogs->askText(QStringLiteral("What do you want to search for?"), &ok);
    if (ok)
        m_loader->search(term);
}

void Form1::Command1_Click()
{
    m_step->connectStep();
}

void Form1::Command2_Click()
{
    const Status sent = m_step->sendRequest();
    if (!sent.ok())
        m_dialogs->showMessage(sent.error);
}

void Form1::Command3_Click()
{
    // Ignored while a download runs; otherwise cycles until stopped or until a
    // cycle fails, which downloadFinished reports.
    if (m_download->isRunning())
        return;
    if (!m_folderProblem.isEmpty()) {
        // Perhaps mended since; otherwise the same message as at start, rather
        // than a store failing on a missing folder.
        m_folderProblem = makeFolderFor(m_collectionPath);
        if (!m_folderProblem.isEmpty()) {
            m_dialogs->showMessage(m_folderProblem);
            return;
        }
    }
    if (m_siteChooser->siteToDownloadFrom())
        m_download->start();
}

void Form1::Command5_Click()
{
    // The reload file is emptied first and written last, the test's box in
    // between: its own cut and conversion of the receive buffer.
    ReloadFileRewrite reloadFile;
    if (const Status emptied = reloadFile.empty(m_reloadPath, m_collectionPath); !emptied.ok()) {
        m_dialogs->showMessage(emptied.error);
        return;
    }
    m_dialogs->showMessage(testExtraction(m_download->receiveBuffer()));
    if (const Status written = reloadFile.finish(); !written.ok())
        m_dialogs->showMessage(written.error);
}

void Form1::Command6_Click()
{
    m_download->stop();
}

// Text1 follows the receive buffer at once after a quiet frame, otherwise at
// the frame's end, not at every piece that comes in: laying out a page costs
// a third of a millisecond, and a download brings pages far more often.
void Form1::showReceiveBuffer()
{
    if (!std::exchange(m_text1Behind, false))
        return;
    m_text1Frame.start(kFrame);
    const QByteArray &buffer = m_download->receiveBuffer();
    const QString shown = QString::fromLatin1(buffer.first(std::min(buffer.size(), kText1Bytes)));
    if (shown != Text1->toPlainText()) // a large page is not laid out again as more comes
        Text1->setPlainText(shown);
}

void Form1::downloadFinished(const QString &failure)
{
    // One message for the whole run: what ended it, if anything went wrong,
    // and the fortunes it left out, if any.
    QStringList parts{failure, m_download->leftOutMessage()};
    parts.removeAll(QString());
    const QString message = parts.join(QStringLiteral("\n\n"));
    if (message.isEmpty())
        return;
    // A site that cannot be reached, or serves no fortune, is most often the
    // wrong site: the message offers to choose another, and downloading goes
    // on there.
    if (!m_download->siteFailed())
        m_dialogs->showMessage(message);
    else if (m_siteChooser->offerAnother(message))
        QMetaObject::invokeMethod(this, &Form1::Command3_Click, Qt::QueuedConnection); // once the loop has ended
}

void Form1::keyPressEvent(QKeyEvent *event)
{
    // The fortune scrolls and copies from anywhere in the window: the buttons
    // pass on the keys they have no use for.
    if (lblFortune->handleKey(event))
        return;
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (event->key() == Qt::Key_F3 && (modifiers & ~Qt::ShiftModifier) == Qt::NoModifier) {
        const bool backwards = modifiers == Qt::ShiftModifier;
        m_loader->whenIdle([this, backwards] { findMatch(backwards); });
        return;
    }
    // Qt's buttons take Enter only in dialogs; this window's buttons have
    // always taken it: Enter clicks the focused button as Space does.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    auto *button = qobject_cast<QPushButton *>(focusWidget());
    if (enter && button && !event->isAutoRepeat() && modifiers == Qt::NoModifier) {
        button->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void Form1::closeEvent(QCloseEvent *event)
{
    // A download waiting for its page is dropped; every record is one write,
    // so nothing is left half-written. Fortunes it left out are only logged:
    // a window going away shows no message.
    const QSignalBlocker quiet(m_download.get());
    m_download->stop();
    QWidget::closeEvent(event);
}

} // namespace fortune
