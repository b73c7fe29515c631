#pragma once

#include <QString>

#include <memory>

class QInputDialog;
class QMessageBox;
class QWidget;

namespace fortune {

// The modal boxes the window needs. Every message and every question of the
// window goes through here, so tests can answer them without a modal loop.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    // A message box with one OK button; returns when it is dismissed.
    virtual void showMessage(const QString &text) = 0;
    // An input box with OK and Cancel, holding text to begin with. *ok is
    // false on Cancel.
    virtual QString askText(const QString &prompt, bool *ok, const QString &text = {}) = 0;
    // A question box with Yes and No; true for Yes.
    virtual bool askYesNo(const QString &question) = 0;
};

// The real boxes, titled with the program's title and showing
// their text as plain text (fortunes and search terms may hold markup).
class WidgetDialogs : public Dialogs {
public:
    explicit WidgetDialogs(QWidget *parent) : m_parent(parent) {}
    void showMessage(const QString &text) override;
    QString askText(const QString &prompt, bool *ok, const QString &text = {}) override;
    bool askYesNo(const QString &question) override;

    // The message box showMessage runs, ready for exec().
    static std::unique_ptr<QMessageBox> makeMessageBox(QWidget *parent, const QString &text);
    // The input box askText runs, ready for exec().
    static std::unique_ptr<QInputDialog> makeInputBox(QWidget *parent, const QString &prompt, const QString &text);

private:
    QWidget *m_parent;
};

} // namespace fortune
