#include "dialogs.h"

#include "startup.h"

#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

namespace fortune {

std::unique_ptr<QMessageBox> WidgetDialogs::makeMessageBox(QWidget *parent, const QString &text)
{
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(programTitle());
    // Qt would guess rich text from a "<b>" in a fortune or a search term.
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    box->setStandardButtons(QMessageBox::Ok);
    return box;
}

void WidgetDialogs::showMessage(const QString &text)
{
    makeMessageBox(m_parent, text)->exec();
}

QString WidgetDialogs::askText(const QString &prompt, bool *ok, const QString &text)
{
    return QInputDialog::getText(m_parent, programTitle(), prompt,
                                 QLineEdit::Normal, text, ok);
}

bool WidgetDialogs::askYesNo(const QString &question)
{
    const auto box = makeMessageBox(m_parent, question);
    box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box->setDefaultButton(QMessageBox::Yes);
    return box->exec() == QMessageBox::Yes;
}

} // namespace fortune
