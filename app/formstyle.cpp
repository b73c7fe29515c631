#include "formstyle.h"

#include <QPainter>
#include <QStyleOption>
#include <QStylePainter>

namespace fortune {

namespace {

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

} // namespace

// The frame "Fortune Viewer" as the window was drawn: an etched line whose top
// edge runs through the middle of the caption. Drawing it directly also spares
// start-up the image decoding, and the load of every image plugin, that
// Fusion's bitmap-based group box frame costs on its first paint.
void FormStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex *option,
                                   QPainter *painter, const QWidget *widget) const
{
    const auto *box = qstyleoption_cast<const QStyleOptionGroupBox *>(option);
    if (control != CC_GroupBox || !box) {
        QProxyStyle::drawComplexControl(control, option, painter, widget);
        return;
    }
    // A caption in a font taller than its band, or wider than the frame, is
    // fitted into them (drawItemText), as the buttons' captions are into
    // their buttons; the frame's line runs through its middle.
    const int height = std::min(box->fontMetrics.height(), m_captionHeight);
    drawEtchedFrame(painter, box->rect.adjusted(0, height / 2, 0, 0), box->palette);
    if (box->text.isEmpty())
        return;
    const int flags = Qt::AlignCenter | Qt::TextSingleLine;
    const QSize room(box->rect.width() - 2 * kCaptionIndent, height);
    const QFontMetrics fitted(fittedFont(painter->font(), painter->device(), box->text, flags, room),
                             painter->device());
    const QRect caption(kCaptionIndent, 0, std::min(fitted.horizontalAdvance(box->text) + 4, room.width()), height);
    painter->fillRect(caption, box->palette.window());
    proxy()->drawItemText(painter, caption, flags, box->palette, box->state & State_Enabled, box->text,
                          QPalette::WindowText);
}

// Measured when drawn, so it is always the font in effect, after style sheets
// and themes.
QFont FormStyle::fittedFont(const QFont &font, QPaintDevice *device, const QString &text, int flags, QSize room)
{
    QFont fitted = font;
    const auto fits = [&] {
        const QSizeF need = QFontMetricsF(fitted, device).size(flags, text);
        return need.width() <= room.width() && need.height() <= room.height();
    };
    const bool pixels = font.pointSizeF() <= 0; // a style sheet may give pixels
    for (int step = 0; step < kMaxSteps && !fits(); ++step) {
        if (pixels)
            fitted.setPixelSize(std::max(1, fitted.pixelSize() - 1));
        else
            fitted.setPointSizeF(fitted.pointSizeF() * 0.94);
    }
    return fitted;
}

void FormStyle::drawItemText(QPainter *painter, const QRect &rect, int flags, const QPalette &palette,
                             bool enabled, const QString &text, QPalette::ColorRole role) const
{
    // A painter takes the application's direction, not the control's: under
    // -reverse "<<" would be mirrored to read ">>".
    flags = (flags & ~Qt::TextForceRightToLeft) | Qt::TextForceLeftToRight;
    const QFont font = painter->font();
    const QFont fitted = fittedFont(font, painter->device(), text, flags, rect.size());
    if (fitted == font) {
        QProxyStyle::drawItemText(painter, rect, flags, palette, enabled, text, role);
        return;
    }
    painter->save();
    painter->setFont(fitted);
    QProxyStyle::drawItemText(painter, rect, flags, palette, enabled, text, role);
    painter->restore();
}

FormFrame::FormFrame(const QString &caption, QWidget *parent, FormStyle *style)
    : QGroupBox(caption, parent), m_style(style)
{
    setStyle(style);
}

void FormFrame::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    QStyleOptionGroupBox option;
    initStyleOption(&option);
    m_style->drawComplexControl(QStyle::CC_GroupBox, &option, &painter, this);
}

} // namespace fortune
