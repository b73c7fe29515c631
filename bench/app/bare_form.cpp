// A bare Qt program that shows the window the collector shows at start: the
// same ten visible controls, with the same captions and places, and an empty
// text view where the fortune goes; nothing else (no style of its own, no
// hidden controls, no collection, no settings). It quits as soon as the window
// has been painted, saying so on stdout.
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>

#include <cstdio>

namespace {

class BareForm : public QWidget {
protected:
    void paintEvent(QPaintEvent *event) override
    {
        QWidget::paintEvent(event);
        if (!m_painted) {
            m_painted = true;
            QTimer::singleShot(0, qApp, [this] {
                std::printf("shown %dx%d\n", width(), height());
                QCoreApplication::quit();
            });
        }
    }

private:
    bool m_painted = false;
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    BareForm window;
    window.setWindowTitle(QStringLiteral("Form1"));
    window.setFixedSize(558, 369);
    QFont font = QApplication::font();
    font.setPointSizeF(8); // the collector's window font
    window.setFont(font);

    // Places in pixels at 96 DPI, as the collector's window has them there.
    (new QLabel(QStringLiteral("0"), &window))->setGeometry(328, 16, 153, 17);
    (new QPushButton(QStringLiteral("Download Fortunes"), &window))->setGeometry(64, 8, 113, 33);
    auto *frame = new QGroupBox(QStringLiteral("Fortune Viewer"), &window);
    frame->setGeometry(8, 48, 545, 313);
    auto *number = new QLabel(QStringLiteral("0"), frame);
    number->setGeometry(48, 16, 65, 17);
    number->setAlignment(Qt::AlignCenter);
    auto *view = new QTextEdit(frame);
    view->setGeometry(8, 40, 529, 265);
    view->setReadOnly(true);
    (new QPushButton(QStringLiteral("<<"), frame))->setGeometry(8, 16, 33, 17);
    (new QPushButton(QStringLiteral(">>"), frame))->setGeometry(120, 16, 33, 17);
    (new QPushButton(QStringLiteral("Reload"), frame))->setGeometry(160, 16, 65, 17);
    (new QPushButton(QStringLiteral("Stop It Already!!!!"), &window))->setGeometry(200, 8, 113, 33);
    (new QPushButton(QStringLiteral("Search Quotes"), &window))->setGeometry(312, 40, 97, 17);

    window.show();
    return app.exec();
}
