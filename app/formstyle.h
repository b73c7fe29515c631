#pragma once

#include <QGroupBox>
#include <QProxyStyle>
#include <QRect>

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

// The window's own touches to the platform's style, for its captions and its
// frame. Every caption keeps its control's size whatever the font in effect
// (a style sheet's, a platform theme's, a high DPI's): one too large is drawn
// in a smaller size of the same font rather than cut or spilled over its
// neighbours. A frame's caption has the band above the frame's controls,
// captionHeight pixels, as its height.
class FormStyle : public QProxyStyle {
public:
    explicit FormStyle(int captionHeight) : m_captionHeight(captionHeight) {}

    void drawComplexControl(ComplexControl control, const QStyleOptionComplex *option,
                            QPainter *painter, const QWidget *widget) const override;
    void drawItemText(QPainter *painter, const QRect &rect, int flags, const QPalette &palette,
                      bool enabled, const QString &text, QPalette::ColorRole role) const override;

private:
    // The font, or a smaller size of it, in which text fits into room.
    static QFont fittedFont(const QFont &font, QPaintDevice *device, const QString &text, int flags, QSize room);

    static constexpr int kCaptionIndent = 6;
    static constexpr int kMaxSteps = 60; // 0.94^60: a 40th of the size
    int m_captionHeight;
};

// The frame "Fortune Viewer", always drawn by the window's style: a style
// sheet's own group box, which a style sheet's font alone brings in, would
// draw its caption in full over the frame's first row.
class FormFrame : public QGroupBox {
public:
    FormFrame(const QString &caption, QWidget *parent, FormStyle *style);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    FormStyle *m_style;
};

} // namespace fortune
