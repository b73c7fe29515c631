#pragma once

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QWidget;

namespace fortune {

class FormStyle;
class FortuneView;
struct Twips;

// The window's controls as it was designed: made in one place, with their
// captions, places, stacking and tab order, in the window's style (FormStyle).
// The members are named as the controls' object names, by which the window's
// handlers and the tests know them. What each does is the window's (Form1).
struct Form1Ui {
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

    // Sizes the window and makes its controls on it.
    void setupUi(QWidget *form);

private:
    void setupTop(QWidget *form, const Twips &twips, FormStyle *style);
    void setupFrame(const Twips &twips);
    void setupStyleAndOrder(FormStyle *style);
};

} // namespace fortune
