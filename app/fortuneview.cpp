#include "fortuneview.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLocale>
#include <QMimeData>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextFormat>

namespace fortune {

namespace {

// The file's CR LF becomes the line feed that a text view and the clipboard
// take for a line end (Qt's clipboard gives it the platform's own). A lone CR
// stays: the view breaks the line there too, one character for one.
QString withLineFeeds(const QString &stored)
{
    return QString(stored).replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

} // namespace

FortuneView::FortuneView(QWidget *parent) : QTextEdit(parent)
{
    setReadOnly(true);
    setAcceptRichText(false);
    setUndoRedoEnabled(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // Reached by a click, to select; the window's Tab order stays its buttons'.
    setFocusPolicy(Qt::ClickFocus);
    setFrameShape(QFrame::NoFrame);
    document()->setDocumentMargin(0);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The frame shows through, as behind a label.
    viewport()->setAutoFillBackground(false);
    followWindowColours();
}

void FortuneView::showFortune(const QString &stored)
{
    m_stored = stored;
    QString shown = withLineFeeds(stored);
    if (shown.endsWith(QLatin1Char('\n')))
        shown.chop(1); // ends the last line; no empty line follows it
    const qsizetype whole = shown.size();
    const qsizetype lines = shown.count(QLatin1Char('\n')) + 1;
    qsizetype limit = kMaxShown;
    for (qsizetype i = 0, word = 0; i < std::min(whole, kMaxShown) && limit == kMaxShown; ++i) {
        word = shown[i].isSpace() ? 0 : word + 1;
        if (word > kMaxWord)
            limit = kMaxShown / 2;
    }
    if (whole > limit) {
        // Whole lines where the first part has a line break late enough.
        qsizetype cut = shown.lastIndexOf(QLatin1Char('\n'), limit);
        if (cut < limit / 2)
            cut = shown[limit - 1].isHighSurrogate() ? limit - 1 : limit;
        shown.truncate(cut);
    }
    m_shown = shown;
    setPlainText(m_shown);
    if (whole > m_shown.size()) {
        // An English sentence, so English digits and grouping, whatever the
        // language of the desktop (Arabic-Indic digits would read as boxes).
        const QLocale locale(QLocale::English);
        QTextCursor cursor(document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertBlock();
        QTextCharFormat note;
        note.setFontItalic(true);
        cursor.insertText(
            tr("[The rest is cut: this fortune has %1 characters %2, more than can be shown at "
               "once; the first %3 are shown. Ctrl+C copies all of it.]")
                .arg(locale.toString(whole),
                     lines == 1 ? tr("on one line") : tr("in %1 lines").arg(locale.toString(lines)),
                     locale.toString(m_shown.size())),
            note);
        // The note is no edit: the view opens at the top, as for any fortune.
        verticalScrollBar()->setValue(0);
    }
}

QString FortuneView::copiedText() const
{
    const QTextCursor cursor = textCursor();
    if (!cursor.hasSelection())
        return withLineFeeds(m_stored);
    // The view holds the shown text one character for one, so the selection
    // is taken from it rather than from the document, which would give a
    // no-break space as a blank and a line separator as a line feed.
    const qsizetype start = cursor.selectionStart(), end = cursor.selectionEnd();
    QString text = m_shown.mid(start, std::min<qsizetype>(end, m_shown.size()) - start);
    if (end > m_shown.size()) { // into the note of a cut fortune
        QTextCursor note(document());
        note.setPosition(std::max<qsizetype>(start, m_shown.size()));
        note.setPosition(end, QTextCursor::KeepAnchor);
        text += note.selectedText().replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    }
    return text;
}

bool FortuneView::handleKey(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        QGuiApplication::clipboard()->setText(copiedText());
        return true;
    }
    const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
    QAbstractSlider::SliderAction action = QAbstractSlider::SliderNoAction;
    if (modifiers == Qt::NoModifier && event->key() == Qt::Key_PageUp)
        action = QAbstractSlider::SliderPageStepSub;
    else if (modifiers == Qt::NoModifier && event->key() == Qt::Key_PageDown)
        action = QAbstractSlider::SliderPageStepAdd;
    else if (modifiers == Qt::ControlModifier && event->key() == Qt::Key_Home)
        action = QAbstractSlider::SliderToMinimum;
    else if (modifiers == Qt::ControlModifier && event->key() == Qt::Key_End)
        action = QAbstractSlider::SliderToMaximum;
    else
        return false;
    verticalScrollBar()->triggerAction(action);
    return true;
}

QMimeData *FortuneView::createMimeDataFromSelection() const
{
    auto *data = new QMimeData;
    data->setText(copiedText());
    return data;
}

void FortuneView::keyPressEvent(QKeyEvent *event)
{
    if (!handleKey(event))
        QTextEdit::keyPressEvent(event);
}

void FortuneView::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange)
        followWindowColours();
    QTextEdit::changeEvent(event);
}

// A text view draws in the palette's Text colour; the label it stands in for
// drew in WindowText, which the window's palette or style sheet may change.
void FortuneView::followWindowColours()
{
    QPalette colours = palette();
    bool changed = false;
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        if (colours.brush(group, QPalette::Text) != colours.brush(group, QPalette::WindowText)) {
            colours.setBrush(group, QPalette::Text, colours.brush(group, QPalette::WindowText));
            changed = true;
        }
    }
    if (changed)
        setPalette(colours);
}

} // namespace fortune
