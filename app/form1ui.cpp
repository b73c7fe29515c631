#include "form1ui.h"

#include "formstyle.h"
#include "fortuneview.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

namespace fortune {

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

} // namespace

void Form1Ui::setupUi(QWidget *form)
{
    form->setObjectName(QStringLiteral("Form1"));
    form->setWindowTitle(QStringLiteral("Form1"));
    // The window's layout is left to right: under -reverse or a right-to-left locale
    // the controls keep their places, so "<<" must keep reading "<<" (mirrored,
    // it would read ">>" and still go back). Fortunes take their own direction.
    form->setLayoutDirection(Qt::LeftToRight);
    const Twips twips{form->logicalDpiX(), form->logicalDpiY()};
    form->setFixedSize(twips.x(8370), twips.y(5535));
    // The window's sizes were made for an 8-point dialog font; the platform's
    // general font is often wider (at 9 points DejaVu Sans cuts "Download
    // Fortunes" at both ends). Set before the controls exist, so they are made
    // in it rather than told of a change. Where even that is too wide, the
    // window's style draws a caption smaller (FormStyle::drawItemText).
    QFont font = QApplication::font();
    font.setPointSizeF(8);
    form->setFont(font);
    // The frame's caption has the band above the frame's first row.
    auto *style = new FormStyle(twips.y(240));
    style->setParent(form);
    setupTop(form, twips, style);
    setupStyleAndOrder(style);
}

void Form1Ui::setupTop(QWidget *form, const Twips &twips, FormStyle *style)
{
    // Qt stacks later siblings on top, so the controls are made from the bottom
    // of the window's stacking order upwards.
    Label1 = makeLabel(form, "Label1", QStringLiteral("0"), twips.rect(4920, 240, 2295, 255),
                       QApplication::translate("fortune::Form1", "Number of fortunes in the collection"));

    Command1 = makeButton(form, "Command1", QStringLiteral("Command1"), twips.rect(960, 120, 1215, 375));
    Command2 = makeButton(form, "Command2", QStringLiteral("Command2"), twips.rect(2400, 120, 1095, 375));
    // The receive buffer of the downloads, as text (Form1 keeps it in step).
    Text1 = new QPlainTextEdit(form);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(twips.rect(120, 5040, 8055, 375));
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setPlainText(QStringLiteral("Waiting...\r\n"));
    Command5 = makeButton(form, "Command5", QStringLiteral("Command5"), twips.rect(3720, 120, 1095, 375));
    // Never shown, so neither reached by Tab nor offered to assistive
    // technology as something to focus.
    for (QWidget *hidden : std::initializer_list<QWidget *>{Command1, Command2, Text1, Command5}) {
        hidden->setVisible(false);
        hidden->setFocusPolicy(Qt::NoFocus);
    }

    Command3 = makeButton(form, "Command3", QStringLiteral("Download Fortunes"), twips.rect(960, 120, 1695, 495));
    Frame1 = new FormFrame(QStringLiteral("Fortune Viewer"), form, style);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setGeometry(twips.rect(120, 720, 8175, 4695));
    setupFrame(twips);
    Command6 = makeButton(form, "Command6", QStringLiteral("Stop It Already!!!!"), twips.rect(3000, 120, 1695, 495));
    // Its lower edge lies over the frame's top edge, as the window was drawn.
    Command7 = makeButton(form, "Command7", QStringLiteral("Search Quotes"), twips.rect(4680, 600, 1455, 255));
}

void Form1Ui::setupFrame(const Twips &twips)
{
    lblFNum = makeLabel(Frame1, "lblFNum", QStringLiteral("0"), twips.rect(720, 240, 975, 255),
                        QApplication::translate("fortune::Form1", "Number of the fortune on show"));
    lblFNum->setAlignment(Qt::AlignCenter);
    lblFortune = new FortuneView(Frame1);
    lblFortune->setObjectName(QStringLiteral("lblFortune"));
    lblFortune->setGeometry(twips.rect(120, 600, 7935, 3975));
    lblFortune->setAccessibleName(QApplication::translate("fortune::Form1", "Fortune"));
    lblFortune->setAccessibleDescription(QApplication::translate("fortune::Form1", "The fortune on show"));
    lblFortune->showFortune(QStringLiteral("Fortune Goes Here..."));
    cmdPrev = makeButton(Frame1, "cmdPrev", QStringLiteral("<<"), twips.rect(120, 240, 495, 255));
    cmdNext = makeButton(Frame1, "cmdNext", QStringLiteral(">>"), twips.rect(1800, 240, 495, 255));
    Command4 = makeButton(Frame1, "Command4", QStringLiteral("Reload"), twips.rect(2400, 240, 975, 255));
}

void Form1Ui::setupStyleAndOrder(FormStyle *style)
{
    for (QWidget *captioned : std::initializer_list<QWidget *>{Label1, Command3, lblFNum, cmdPrev,
                                                               cmdNext, Command4, Command6, Command7})
        captioned->setStyle(style);

    // The window's tab order; hidden controls and labels are skipped by Qt,
    // and the fortune, reached by a click only, keeps its place in it.
    QWidget *const order[] = {Command1, Command2, Text1,      Command5, Command3, cmdPrev,
                              cmdNext,  lblFortune, Command4, Command6, Command7};
    for (size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

} // namespace fortune
