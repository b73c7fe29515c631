#include "form1.h"

#include "extraction.h"
#include "fortuneview.h"
#include "fortunesreader.h"
#include "reloadfile.h"
#include "singlestep.h"
#include "sitechooser.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLoggingCategory>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyleOption>
#include <QTimer>
#include <QWindow>

Q_LOGGING_CATEGORY(lcForm, "fortune.form", QtWarningMsg)

namespace fortune {

// The window's layout is measured in twips, 1,440 to the inch. The screen's
// logical DPI turns them into pixels: at 96 DPI 15 twips make a pixel (a window
// of 558 by 369), at 192 DPI without scaling the window is twice as large, as
// its font is.
struct Twips {
    int dpiX, dpiY;
    int x(int twips) const { return (twips * dpiX + 720) / 1440; }
    int y(int twips) const { return (twips * dpiY + 720) / 1440; }
    QRect rect(int left, int top, int width, int height) const
    {
        return QRect(x(left), y(top), x(width), y(height));
    }
};

namespace {

QPushButton *makeButton(QWidget *parent, const char *name, const QString &caption, QRect rect)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(rect);
    return button;
}

QLabel *makeLabel(QWidget *parent, const char *name, const QString &text, QRect rect,
                  const QString &description)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    // Never let Qt take a "<b>" for markup.
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setGeometry(rect);
    // The accessible name stays the text itself, so a screen reader says the count.
    label->setAccessibleDescription(description);
    return label;
}

// The etched frame of qDrawShadeRect(painter, rect, palette, true, 1, 0), pixel
// for pixel (at any device pixel ratio, for frames of 5 pixels and more each
// way), drawn as filled lines: a pen steps along a line pixel by pixel, which
// made the frame's outlines a tenth of the window's first paint.
void drawEtchedFrame(QPainter *painter, const QRect &rect, const QPalette &palette)
{
    painter->save();
    int x = rect.x(), y = rect.y(), width = rect.width(), height = rect.height(), lineWidth = 1;
    // As qDrawShadeRect: a line as wide as a pixel of the device per pixel of
    // the window, at whole pixels of the device.
    if (const qreal ratio = painter->device()->devicePixelRatio(); !qFuzzyCompare(ratio, qreal(1))) {
        painter->scale(1 / ratio, 1 / ratio);
        x = qRound(ratio * x), y = qRound(ratio * y);
        width = qRound(ratio * width), height = qRound(ratio * height), lineWidth = qRound(ratio);
    }
    const int x1 = x, y1 = y, x2 = x + width - 1, y2 = y + height - 1;
    const QColor dark = palette.dark().color(), light = palette.light().color();
    const auto across = [&](int from, int to, int row, const QColor &colour) {
        painter->fillRect(QRect(QPoint(std::min(from, to), row), QPoint(std::max(from, to), row)), colour);
    };
    const auto down = [&](int column, int from, int to, const QColor &colour) {
        painter->fillRect(QRect(QPoint(column, std::min(from, to)), QPoint(column, std::max(from, to))), colour);
    };
    if (lineWidth == 1) {
        across(x1, x2 - 1, y1, dark), across(x1, x2 - 1, y2 - 1, dark);
        down(x1, y1, y2 - 1, dark), down(x2 - 1, y1, y2 - 1, dark);
        across(x1 + 1, x2 - 2, y1 + 1, light), down(x1 + 1, y1 + 2, y2 - 2, light);
        across(x1, x2, y2, light), down(x2, y1, y2 - 1, light);
    } else {
        for (int i = 0, k = lineWidth; i < lineWidth; ++i, ++k) {
            down(x1 + i, y1 + i, y2 - i, dark), across(x1 + i, x2 - i, y1 + i, dark);
            across(x1 + k, x2 - k, y2 - k, dark), down(x2 - k, y1 + k, y2 - k, dark);
        }
        for (int i = 0, k = lineWidth; i < lineWidth; ++i, ++k) {
            across(x1 + 1 + i, x2 - i, y2 - i, light), down(x2 - i, y1 + i + 1, y2 - i, light);
            down(x1 + k, y1 + k, y2 - k, light), across(x1 + k, x2 - k, y1 + k, light);
        }
    }
    painter->restore();
}

// The window's own touches to the platform's style, for its captions and frame.
class FormStyle : public QProxyStyle {
public:
    // The frame "Fortune Viewer" as the window was drawn: an etched line whose
    // top edge runs through the middle of the caption. Drawing it directly also
    // spares start-up the image decoding, and the load of every image plugin,
    // that Fusion's bitmap-based group box frame costs on its first paint.
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex *option,
                            QPainter *painter, const QWidget *widget) const override
    {
        const auto *box = qstyleoption_cast<const QStyleOptionGroupBox *>(option);
        if (control != CC_GroupBox || !box) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        const QFontMetrics &metrics = box->fontMetrics;
        drawEtchedFrame(painter, box->rect.adjusted(0, metrics.height() / 2, 0, 0), box->palette);
        if (box->text.isEmpty())
            return;
        const QRect caption(kCaptionIndent, 0,
                            std::min(metrics.horizontalAdvance(box->text) + 4,
                                     box->rect.width() - 2 * kCaptionIndent),
                            metrics.height());
        painter->fillRect(caption, box->palette.window());
        proxy()->drawItemText(painter, caption, Qt::AlignCenter | Qt::TextSingleLine, box->palette,
                              box->state & State_Enabled, box->text, QPalette::WindowText);
    }

    // Captions keep their controls' sizes whatever the font: one too large for its
    // control (a style sheet's, a platform theme's, a high DPI's) is drawn in a
    // smaller size of the same font rather than cut at both ends. Measured when
    // drawn, so it is always the font in effect, after style sheets and themes.
    void drawItemText(QPainter *painter, const QRect &rect, int flags, const QPalette &palette,
                      bool enabled, const QString &text, QPalette::ColorRole role) const override
    {
        // A painter takes the application's direction, not the control's: under
        // -reverse "<<" would be mirrored to read ">>".
        flags = (flags & ~Qt::TextForceRightToLeft) | Qt::TextForceLeftToRight;
        const QFont font = painter->font();
        QFont fitted = font;
        const auto fits = [&] {
            const QSizeF need = QFontMetricsF(fitted, painter->device()).size(flags, text);
            return need.width() <= rect.width() && need.height() <= rect.height();
        };
        const bool pixels = font.pointSizeF() <= 0; // a style sheet may give pixels
        for (int step = 0; step < kMaxSteps && !fits(); ++step) {
            if (pixels)
                fitted.setPixelSize(std::max(1, fitted.pixelSize() - 1));
            else
                fitted.setPointSizeF(fitted.pointSizeF() * 0.94);
        }
        if (fitted == font) {
            QProxyStyle::drawItemText(painter, rect, flags, palette, enabled, text, role);
            return;
        }
        painter->save();
        painter->setFont(fitted);
        QProxyStyle::drawItemText(painter, rect, flags, palette, enabled, text, role);
        painter->restore();
    }

private:
    static constexpr int kCaptionIndent = 6;
    static constexpr int kMaxSteps = 60; // 0.94^60: a 40th of the size
};

} // namespace

Form1::Form1(QString collectionPath, QString reloadPath, QWidget *parent)
    : QWidget(parent),
      m_collectionPath(std::move(collectionPath)),
      m_reloadPath(std::move(reloadPath)),
      m_dialogs(std::make_unique<WidgetDialogs>(this)),
      m_download(std::make_unique<DownloadLoop>(Fortunes, m_collectionPath)),
      m_step(std::make_unique<SingleStep>(*m_download))
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Form1"));
    for (QTimer *slices : {&m_loadSlices, &m_searchSlices})
        slices->setSingleShot(true);
    connect(&m_loadSlices, &QTimer::timeout, this, &Form1::continueLoad);
    connect(&m_searchSlices, &QTimer::timeout, this, &Form1::continueSearch);
    // The window's layout is left to right: under -reverse or a right-to-left locale
    // the controls keep their places, so "<<" must keep reading "<<" (mirrored,
    // it would read ">>" and still go back). Fortunes take their own direction.
    setLayoutDirection(Qt::LeftToRight);
    const Twips twips{logicalDpiX(), logicalDpiY()};
    setFixedSize(twips.x(8370), twips.y(5535));
    // The window's sizes were made for an 8-point dialog font; the platform's
    // general font is often wider (at 9 points DejaVu Sans cuts "Download
    // Fortunes" at both ends). Set before the controls exist, so they are made
    // in it rather than told of a change. Where even that is too wide, the
    // window's style draws a caption smaller (FormStyle::drawItemText).
    QFont font = QApplication::font();
    font.setPointSizeF(8);
    setFont(font);
    createControls(twips);
    m_siteChooser = new SiteChooser(Command3, *m_download, [this]() -> Dialogs & { return *m_dialogs; });

    // The count rises as downloads store fortunes; the fortune on show and the
    // cursor stay as they are.
    connect(m_download.get(), &DownloadLoop::fortuneStored, this,
            [this](qsizetype count) { Label1->setText(QString::number(count)); });
    connect(m_download.get(), &DownloadLoop::finished, this, &Form1::downloadFinished);
    // While the site asks for a moment's wait, the count's tooltip says why it stands still.
    connect(m_download.get(), &DownloadLoop::siteBusy, Label1, &QLabel::setToolTip);
    connect(m_step.get(), &SingleStep::connectFinished, this, [this](const QString &message) {
        if (message.isEmpty())
            Text1->setPlainText(QStringLiteral("Connected..."));
        else
            m_dialogs->showMessage(message);
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

void Form1::createControls(const Twips &twips)
{
    // Qt stacks later siblings on top, so the controls are made from the bottom
    // of the window's stacking order upwards.
    Label1 = makeLabel(this, "Label1", QStringLiteral("0"), twips.rect(4920, 240, 2295, 255),
                       tr("Number of fortunes in the collection"));

    Command1 = makeButton(this, "Command1", QStringLiteral("Command1"),
                          twips.rect(960, 120, 1215, 375));
    Command1->setVisible(false);
    Command2 = makeButton(this, "Command2", QStringLiteral("Command2"),
                          twips.rect(2400, 120, 1095, 375));
    Command2->setVisible(false);

    // The receive buffer of the downloads; never shown.
    Text1 = new QPlainTextEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(twips.rect(120, 5040, 8055, 375));
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setPlainText(QStringLiteral("Waiting...\r\n"));
    Text1->setVisible(false);

    Command5 = makeButton(this, "Command5", QStringLiteral("Command5"),
                          twips.rect(3720, 120, 1095, 375));
    Command5->setVisible(false);
    // Never shown, so neither reached by Tab nor offered to assistive
    // technology as something to focus.
    for (QWidget *hidden : std::initializer_list<QWidget *>{Command1, Command2, Text1, Command5})
        hidden->setFocusPolicy(Qt::NoFocus);

    Command3 = makeButton(this, "Command3", QStringLiteral("Download Fortunes"),
                          twips.rect(960, 120, 1695, 495));

    Frame1 = new QGroupBox(QStringLiteral("Fortune Viewer"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twips.rect(120, 720, 8175, 4695));

    lblFNum = makeLabel(Frame1, "lblFNum", QStringLiteral("0"), twips.rect(720, 240, 975, 255),
                        tr("Number of the fortune on show"));
    lblFNum->setAlignment(Qt::AlignCenter);
    lblFortune = new FortuneView(Frame1);
    lblFortune->setObjectName(QStringLiteral("lblFortune"));
    lblFortune->setGeometry(twips.rect(120, 600, 7935, 3975));
    lblFortune->setAccessibleName(tr("Fortune"));
    lblFortune->setAccessibleDescription(tr("The fortune on show"));
    lblFortune->showFortune(QStringLiteral("Fortune Goes Here..."));
    cmdPrev = makeButton(Frame1, "cmdPrev", QStringLiteral("<<"), twips.rect(120, 240, 495, 255));
    cmdNext = makeButton(Frame1, "cmdNext", QStringLiteral(">>"), twips.rect(1800, 240, 495, 255));
    Command4 = makeButton(Frame1, "Command4", QStringLiteral("Reload"),
                          twips.rect(2400, 240, 975, 255));

    Command6 = makeButton(this, "Command6", QStringLiteral("Stop It Already!!!!"),
                          twips.rect(3000, 120, 1695, 495));
    // Its lower edge lies over the frame's top edge, as the window was drawn.
    Command7 = makeButton(this, "Command7", QStringLiteral("Search Quotes"),
                          twips.rect(4680, 600, 1455, 255));

    auto *style = new FormStyle;
    style->setParent(this);
    for (QWidget *captioned : std::initializer_list<QWidget *>{Label1, Command3, Frame1, lblFNum, cmdPrev,
                                                               cmdNext, Command4, Command6, Command7})
        captioned->setStyle(style);

    // The window's tab order; hidden controls and labels are skipped by Qt,
    // and the fortune, reached by a click only, keeps its place in it.
    QWidget *const order[] = {Command1, Command2, Text1,      Command5, Command3, cmdPrev,
                              cmdNext,  lblFortune, Command4, Command6, Command7};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(cmdNext, &QPushButton::clicked, this, &Form1::cmdNext_Click);
    connect(cmdPrev, &QPushButton::clicked, this, &Form1::cmdPrev_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(Command7, &QPushButton::clicked, this, &Form1::Command7_Click);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(Command5, &QPushButton::clicked, this, &Form1::Command5_Click);
    connect(Command6, &QPushButton::clicked, this, &Form1::Command6_Click);
}

void Form1::Form_Load()
{
    show();
    // The file is read once the window is on screen with its starting
    // captions, so that the count is seen rising: right after the window system
    // exposes the window. One it never exposes (started minimized, on another
    // workspace) loads all the same, a moment later.
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
    loadFile(m_collectionPath, false);
}

void Form1::loadFile(const QString &path, bool missingIsError)
{
    m_load = std::make_unique<FortunesLoad>(path, Fortunes);
    m_loadMissingIsError = missingIsError;
    continueLoad();
}

// The count shown rises with every slice; the window paints it in between.
void Form1::continueLoad()
{
    const bool done = m_load->step(QDeadlineTimer(kSlice));
    showCount();
    if (!done) {
        m_loadSlices.start(0);
        return;
    }
    const LoadResult result = m_load->result();
    m_load.reset();

    bool ok = true;
    switch (result.outcome) {
    case LoadResult::Outcome::Loaded:
        break;
    case LoadResult::Outcome::Missing:
        ok = !m_loadMissingIsError;
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
    // "Reload" clicked meanwhile adds after what this load added.
    if (m_reloadsWaiting > 0 && !m_load) {
        --m_reloadsWaiting;
        Command4_Click();
    }
}

void Form1::showCount()
{
    Label1->setText(QString::number(Fortunes.count()));
}

void Form1::showFortune(qsizetype index)
{
    lblFortune->showFortune(Fortunes.textAt(index));
}

void Form1::cmdNext_Click()
{
    Cursor.next(Fortunes.count());
    lblFNum->setText(QString::number(Cursor.position()));
    showFortune(Cursor.position());
}

void Form1::cmdPrev_Click()
{
    Cursor.previous(Fortunes.count());
    lblFNum->setText(QString::number(Cursor.position()));
    showFortune(Cursor.position());
}

void Form1::Command4_Click()
{
    // During a load it waits for that one to end, so each adds after the other.
    if (m_load) {
        ++m_reloadsWaiting;
        return;
    }
    loadFile(m_reloadPath, true);
}

void Form1::Command7_Click()
{
    // One search at a time: a click while one counts is let go, its answer comes.
    if (m_search)
        return;
    bool ok = false;
    const QString term = m_dialogs->askText(QStringLiteral("What do you want to search for?"), &ok);
    if (!ok || m_search)
        return;
    // Over the fortunes the list holds now, a load under way included so far.
    m_search = std::make_unique<FortuneList::Count>(Fortunes, term);
    m_searchTerm = term;
    continueSearch();
}

void Form1::continueSearch()
{
    if (!m_search->step(QDeadlineTimer(kSlice))) {
        m_searchSlices.start(0);
        return;
    }
    const qsizetype hits = m_search->hits();
    m_search.reset();
    // The term as typed, however long: the message box wraps it.
    m_dialogs->showMessage(searchMessage(hits, m_searchTerm));
}

void Form1::Command1_Click()
{
    Text1->setPlainText(QStringLiteral("Connecting..."));
    m_step->connectStep(); // "Connected..." comes with connectFinished
}

void Form1::Command2_Click()
{
    Text1->clear();
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
    // The reload file is rewritten first, as a whole or not at all; the test's
    // own cut and conversion of the receive buffer is then shown.
    const Status written = rewriteReloadFile(m_reloadPath);
    if (!written.ok()) {
        m_dialogs->showMessage(written.error);
        return;
    }
    m_dialogs->showMessage(testExtraction(m_download->receiveBuffer()));
}

void Form1::Command6_Click()
{
    m_download->stop();
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
    // Qt's buttons take Enter only in dialogs; this window's buttons have
    // always taken it: Enter clicks the focused button as Space does.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    auto *button = qobject_cast<QPushButton *>(focusWidget());
    if (enter && button && !event->isAutoRepeat()
        && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
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
