#pragma once

#include <QTextEdit>
#include <QString>

class QKeyEvent;

namespace fortune {

// The fortune area: a read-only text view, of plain text only, that looks like
// the label it stands in for (no frame, the window's colours) and shows a
// fortune exactly as stored. Lines wrap at the area's width, long words
// anywhere; a scroll bar appears only for a fortune taller than the area; each
// paragraph takes its own direction, and its side with it (a plain-text edit
// would set a right-to-left paragraph against the left edge). Its text (and so
// its accessible text) is the fortune with the file's CR LF as line breaks,
// nothing inserted at wrap points.
class FortuneView : public QTextEdit {
    Q_OBJECT

public:
    // The most characters laid out at once: 100,000 short lines would take
    // 260 ms, a megabyte of words 330 ms. A word without a break (a long URL,
    // a block of base64) costs time quadratic in its length to wrap: 32 Ki
    // characters of one take 75 ms, a 1 MiB one 24 s. So a fortune holding a
    // word longer than kMaxWord shows kMaxShown / 2 characters at most.
    static constexpr qsizetype kMaxShown = 32 * 1024;
    static constexpr qsizetype kMaxWord = 4 * 1024;

    explicit FortuneView(QWidget *parent = nullptr);

    // Shows a fortune as stored (CR LF between and after its lines). One larger
    // than kMaxShown shows its first part and, below it, a note saying that
    // the rest is cut and how large the fortune is.
    void showFortune(const QString &stored);
    const QString &fortune() const { return m_stored; }

    // What a copy puts on the clipboard: the selection, or the whole fortune
    // when nothing is selected, as stored but with this platform's line ends.
    QString copiedText() const;

    // The keys that reach the fortune from anywhere in the window: Page Up,
    // Page Down, Ctrl+Home, Ctrl+End and copy. False for any other key.
    bool handleKey(QKeyEvent *event);

protected:
    QMimeData *createMimeDataFromSelection() const override;
    void keyPressEvent(QKeyEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void followWindowColours();

    QString m_stored;
    QString m_shown; // withLineFeeds(m_stored), or its first part
};

} // namespace fortune
