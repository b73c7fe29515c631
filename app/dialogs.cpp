#include "dialogs.h"

#include "startup.h"

#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QTextEdit>

#include <algorithm>
#include <cmath>

namespace fortune {

std::unique_ptr<QMessageBox> WidgetDialogs::makeMessageBox(QWidget *parent, const QString &text)
{
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(programTitle());
    // Qt would guess rich text from a "<b>" in a fortune or a search term.
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    box->setStandardButtons(QMessageBox::Ok);

    // A message box's label breaks lines only between words, so a line wider
    // than the screen (a long search term) would widen the box past its edge
    // and be cut. Such a message is shown whole instead, in a read-only view
    // that breaks anywhere and scrolls when it is taller than half the screen;
    // the box's text, and what assistive technology reads, stay the message.
    const QRect screen = (parent ? parent->screen() : QGuiApplication::primaryScreen())->availableGeometry();
    const int width = std::min(screen.width() / 2, 500); // the box's own limit for a wrapped label
    auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
    const QFontMetrics metrics(box->font());
    const QStringList lines = text.split(QLatin1Char('\n'));
    if (!label || std::all_of(lines.begin(), lines.end(), [&](const QString &line) {
            return metrics.horizontalAdvance(line) <= width;
        }))
        return box;
    auto *view = new QTextEdit(box.get());
    view->setObjectName(QStringLiteral("messageText"));
    view->setReadOnly(true);
    view->setFrameShape(QFrame::NoFrame);
    view->viewport()->setAutoFillBackground(false);
    view->setLineWrapMode(QTextEdit::FixedPixelWidth);
    view->setLineWrapColumnOrWidth(width);
    view->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setPlainText(text);
    view->document()->setTextWidth(width);
    view->setFixedSize(width + view->verticalScrollBar()->sizeHint().width(),
                       std::min(int(std::ceil(view->document()->size().height())), screen.height() / 2));
    delete box->layout()->replaceWidget(label, view); // the label's layout item, now ours
    label->hide();
    return box;
}

void WidgetDialogs::showMessage(const QString &text)
{
    makeMessageBox(m_parent, text)->exec();
}

std::unique_ptr<QInputDialog> WidgetDialogs::makeInputBox(QWidget *parent, const QString &prompt, const QString &text)
{
    auto box = std::make_unique<QInputDialog>(parent);
    box->setWindowTitle(programTitle());
    box->setInputMode(QInputDialog::TextInput);
    box->setLabelText(prompt);
    box->setTextValue(text);
    // Its label would widen the box to the prompt's longest line, past the
    // screen's edge for a long one: it wraps, as a message box's does, and
    // shows what was typed (quoted in a reason) as text, not markup.
    if (auto *label = box->findChild<QLabel *>()) {
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
    }
    return box;
}

QString WidgetDialogs::askText(const QString &prompt, bool *ok, const QString &text)
{
    const auto box = makeInputBox(m_parent, prompt, text);
    *ok = box->exec() == QDialog::Accepted;
    return *ok ? box->textValue() : QString();
}

bool WidgetDialogs::askYesNo(const QString &question)
{
    const auto box = makeMessageBox(m_parent, question);
    box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box->setDefaultButton(QMessageBox::Yes);
    return box->exec() == QMessageBox::Yes;
}

} // namespace fortune
