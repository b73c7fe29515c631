// A bare Qt window program: shows one window of the main window's size and
// quits as soon as it has been painted, saying so on stdout.
#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace {

class BareWindow : public QWidget {
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
    BareWindow window;
    window.setWindowTitle(QStringLiteral("Form1"));
    window.setFixedSize(558, 369);
    window.show();
    return app.exec();
}
