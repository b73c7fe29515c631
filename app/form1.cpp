#include "form1.h"

#include "extraction.h"
#include "fortunesreader.h"
#include "reloadfile.h"
#include "singlestep.h"

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
#include <QTextLayout>
#include <QTimer>
#include <QWindow>
#include <qdrawutil.h>

#include <cmath>

Q_LOGGING_CATEGORY(lcForm, "fortune.form", QtWarningMsg)

namespace fortune {

namespace {

// The design measures in twips; the window keeps its look at 15 twips per pixel.
constexpr int kTwipsPerPixel = 15;

QRect fromTwips(int left, int top, int width, int height)
{
    return QRect(left / kTwipsPerPixel, top / kTwipsPerPixel, width / kTwipsPerPixel,
                 height / kTwipsPerPixel);
}

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
    // Fortunes come from the web: never let Qt take "<b>" or "<img>" for markup.
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setGeometry(rect);
    // The accessible name stays the text itself, so a screen reader says the count.
    label->setAccessibleDescription(description);
    return label;
}

// The frame "Fortune Viewer" as the design draws it: an etched line whose top
// edge runs through the middle of the caption. Drawing it directly also spares
// start-up the image decoding, and the load of every image plugin, that
// Fusion's bitmap-based group box frame costs on its first paint.
class EtchedFrameStyle : public QProxyStyle {
public:
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex *option,
                            QPainter *painter, const QWidget *widget) const override
    {
        const auto *box = qstyleoption_cast<const QStyleOptionGroupBox *>(option);
        if (control != CC_GroupBox || !box) {
            QProxyStyle::drawComplexControl(control, option, painter, widget);
            return;
        }
        const QFontMetrics &metrics = box->fontMetrics;
        qDrawShadeRect(painter, box->rect.adjusted(0, metrics.height() / 2, 0, 0), box->palette,
                       true, 1, 0);
        if (box->text.isEmpty())
            return;
        const QRect caption(kCaptionIndent, 0, metrics.horizontalAdvance(box->text) + 4,
                            metrics.height());
        painter->fillRect(caption, box->palette.window());
        drawItemText(painter, caption, Qt::AlignCenter | Qt::TextSingleLine, box->palette,
                     box->state & State_Enabled, box->text, QPalette::WindowText);
    }

private:
    static constexpr int kCaptionIndent = 6;
};

// The fortune label shows some 1,500 characters at most, but laying out a
// fortune of megabytes (a page may hold up to 8 MiB) would freeze the window
// for seconds: only its start is laid out and offered as the tooltip.
constexpr qsizetype kMaxShownCharacters = 16 * 1024;
const QChar kEllipsis(0x2026);

// What the label shows of a fortune, and the tooltip that holds the rest.
struct FittedText {
    QString text;
    QString toolTip;
};

// Breaks the fortune into the lines the label has room for. Long words (a URL)
// are broken anywhere rather than cut at the right edge. A wrapped paragraph
// keeps its lines together with line separators, so each paragraph takes its
// own direction as a whole. When the lines run out, the last one that has room
// holds just an ellipsis, and the tooltip the whole text.
FittedText fitToLabel(const QString &fortune, const QFont &font, QSize area)
{
    QString text = fortune.first(std::min(fortune.size(), kMaxShownCharacters));
    const bool capped = text.size() < fortune.size();
    if (capped && text.back().isHighSurrogate())
        text.chop(1);
    // The file's CR LF (and a lone CR, which a text document breaks at too)
    // become plain line breaks: a CR is drawn as a blank, past the edge of a
    // right-to-left line.
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);

    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    // A text document gives each line a whole number of pixels.
    const int lineHeight = int(std::ceil(QFontMetricsF(font).lineSpacing()));
    const int maxLines = std::max(1, area.height() / std::max(1, lineHeight));
    QString shown;
    int lines = 0;
    bool full = false;
    const QStringList paragraphs = text.split(QLatin1Char('\n'));
    for (qsizetype p = 0; p < paragraphs.size() && !full; ++p) {
        const QString &paragraph = paragraphs[p];
        QTextLayout layout(paragraph, font);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            if (lines == maxLines) {
                full = true;
                break;
            }
            line.setLineWidth(area.width());
            ++lines;
            if (line.textStart() > 0) {
                // The blank the line was broken at gives way to a line separator.
                if (shown.endsWith(QLatin1Char(' ')))
                    shown.chop(1);
                if (!shown.endsWith(QChar::LineSeparator))
                    shown += QChar::LineSeparator;
            } else if (p > 0) {
                shown += QLatin1Char('\n');
            }
            shown += QStringView(paragraph).mid(line.textStart(), line.textLength());
        }
        layout.endLayout();
    }
    if (!full && !capped)
        return {shown, {}};

    if (full) { // the last line gives way to the ellipsis
        const qsizetype lastBreak = std::max(shown.lastIndexOf(QLatin1Char('\n')),
                                             shown.lastIndexOf(QChar::LineSeparator));
        shown.truncate(std::max<qsizetype>(lastBreak, 0));
    }
    if (!shown.isEmpty())
        shown += QChar::LineSeparator;
    shown += kEllipsis;
    // Tooltips take markup; the fortune must stay text.
    return {shown, QStringLiteral("<p style=\"white-space:pre-wrap\">") + text.toHtmlEscaped()
                       + (capped ? QString(kEllipsis) : QString()) + QStringLiteral("</p>")};
}

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
    setFixedSize(8370 / kTwipsPerPixel, 5535 / kTwipsPerPixel);
    // The design's sizes were made for an 8-point dialog font; the platform's
    // general font is often wider (at 9 points DejaVu Sans cuts "Download
    // Fortunes" at both ends). Set before the controls exist, so they are made
    // in it rather than told of a change.
    QFont font = QApplication::font();
    font.setPointSizeF(8);
    setFont(font);
    createControls();
    shrinkFontToFit();

    // The count rises as downloads store fortunes; the fortune on show and the
    // cursor stay as they are.
    connect(m_download.get(), &DownloadLoop::fortuneStored, this,
            [this](qsizetype count) { Label1->setText(QString::number(count)); });
    connect(m_download.get(), &DownloadLoop::finished, this, &Form1::downloadFinished);
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

void Form1::createControls()
{
    // Qt stacks later siblings on top, so the controls are made from the bottom
    // of the design's stacking order upwards.
    Label1 = makeLabel(this, "Label1", QStringLiteral("0"), fromTwips(4920, 240, 2295, 255),
                       tr("Number of fortunes in the collection"));

    Command1 = makeButton(this, "Command1", QStringLiteral("Command1"),
                          fromTwips(960, 120, 1215, 375));
    Command1->setVisible(false);
    Command2 = makeButton(this, "Command2", QStringLiteral("Command2"),
                          fromTwips(2400, 120, 1095, 375));
    Command2->setVisible(false);

    // The receive buffer of the downloads; never shown.
    Text1 = new QPlainTextEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(fromTwips(120, 5040, 8055, 375));
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setPlainText(QStringLiteral("Waiting...\r\n"));
    Text1->setVisible(false);

    Command5 = makeButton(this, "Command5", QStringLiteral("Command5"),
                          fromTwips(3720, 120, 1095, 375));
    Command5->setVisible(false);

    Command3 = makeButton(this, "Command3", QStringLiteral("Download Fortunes"),
                          fromTwips(960, 120, 1695, 495));

    Frame1 = new QGroupBox(QStringLiteral("Fortune Viewer"), this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(fromTwips(120, 720, 8175, 4695));
    auto *frameStyle = new EtchedFrameStyle;
    frameStyle->setParent(Frame1);
    Frame1->setStyle(frameStyle);

    lblFNum = makeLabel(Frame1, "lblFNum", QStringLiteral("0"), fromTwips(720, 240, 975, 255),
                        tr("Number of the fortune on show"));
    lblFNum->setAlignment(Qt::AlignCenter);
    // Breaks its lines itself (fitToLabel).
    lblFortune = makeLabel(Frame1, "lblFortune", QStringLiteral("Fortune Goes Here..."),
                           fromTwips(120, 600, 7935, 3975), tr("The fortune on show"));
    lblFortune->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    cmdPrev = makeButton(Frame1, "cmdPrev", QStringLiteral("<<"), fromTwips(120, 240, 495, 255));
    cmdNext = makeButton(Frame1, "cmdNext", QStringLiteral(">>"), fromTwips(1800, 240, 495, 255));
    Command4 = makeButton(Frame1, "Command4", QStringLiteral("Reload"),
                          fromTwips(2400, 240, 975, 255));

    Command6 = makeButton(this, "Command6", QStringLiteral("Stop It Already!!!!"),
                          fromTwips(3000, 120, 1695, 495));
    // Its lower edge lies over the frame's top edge, as designed.
    Command7 = makeButton(this, "Command7", QStringLiteral("Search Quotes"),
                          fromTwips(4680, 600, 1455, 255));

    // Tab order of the design; hidden controls and labels are skipped by Qt.
    QWidget *const order[] = {Command1, Command2, Text1,    Command5, Command3,
                              cmdPrev,  cmdNext,  Command4, Command6, Command7};
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

// Where even 8 points are too wide (a high logical DPI, a wide font), the font
// shrinks until every caption fits its control.
void Form1::shrinkFontToFit()
{
    const QPushButton *const buttons[] = {Command3, Command6, Command7, cmdPrev, cmdNext, Command4};
    const auto fits = [&] {
        for (const QPushButton *button : buttons) {
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = button->text();
            const QRect inside = button->style()->subElementRect(QStyle::SE_PushButtonContents,
                                                                 &option, button);
            if (option.fontMetrics.horizontalAdvance(option.text) > inside.width())
                return false;
        }
        // The widest count the labels ever show.
        return lblFNum->fontMetrics().horizontalAdvance(QString::number(kSlotCount)) <= lblFNum->width();
    };
    constexpr qreal kSmallest = 5;
    for (QFont smaller = font(); !fits() && smaller.pointSizeF() > kSmallest;) {
        smaller.setPointSizeF(smaller.pointSizeF() - 0.5);
        setFont(smaller);
    }
}

void Form1::Form_Load()
{
    show();
    // The file is read once the window is on screen with its design-time
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
    // No collection file yet is a first start, not an error: the first stored
    // download creates it.
    loadFile(m_collectionPath, false);
}

void Form1::loadFile(const QString &path, bool missingIsError)
{
    const LoadResult result = loadFortunesFile(path, Fortunes, [this](qsizetype count) {
        Label1->setText(QString::number(count));
        Label1->repaint();
    });
    showCount();

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
        qCInfo(lcForm) << "load of" << path << "failed:" << result.error;
        m_dialogs->showMessage(result.error);
    }
    emit loadFinished();
}

void Form1::showCount()
{
    Label1->setText(QString::number(Fortunes.count()));
}

void Form1::showFortune(qsizetype index)
{
    const FittedText fitted = fitToLabel(Fortunes.textAt(index), lblFortune->font(),
                                         lblFortune->contentsRect().size());
    // Selectable, so a fortune can be copied; made so with the first fortune
    // rather than at start, where the design's caption needs no text control.
    lblFortune->setTextInteractionFlags(Qt::TextSelectableByMouse);
    lblFortune->setText(fitted.text);
    lblFortune->setToolTip(fitted.toolTip);
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
    loadFile(m_reloadPath, true);
}

void Form1::Command7_Click()
{
    bool ok = false;
    const QString term = m_dialogs->askText(QStringLiteral("What do you want to search for?"), &ok);
    if (!ok)
        return;
    const qsizetype hits = Fortunes.countContaining(term);
    // A term wider than the box can show would widen it to most of the screen
    // and still be clipped: its middle gives way to an ellipsis.
    const QFontMetrics metrics(QApplication::font("QMessageBox"));
    const QString shown = metrics.elidedText(term, Qt::ElideMiddle, 40 * metrics.averageCharWidth());
    m_dialogs->showMessage(searchMessage(hits, shown));
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

void Form1::downloadFinished(const QString &message)
{
    if (!message.isEmpty())
        m_dialogs->showMessage(message);
}

void Form1::keyPressEvent(QKeyEvent *event)
{
    // Qt's buttons take Enter only in dialogs; in this window, as on the
    // design's platform, Enter clicks the focused button as Space does.
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
    // so nothing is left half-written.
    m_download->stop();
    QWidget::closeEvent(event);
}

} // namespace fortune
