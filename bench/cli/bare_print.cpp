#include <QCoreApplication>
#include <QImage>
#include <QTcpSocket>
#include <QWidget>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Never true: only here so that the libraries are loaded, as the
    // collector's are, although nothing of them runs.
    if (argc > 1000) {
        QImage image(1, 1, QImage::Format_RGB32);
        QWidget widget;
        QTcpSocket socket;
        return image.width() + widget.width();
    }
    std::fputs("A fortune, printed by the least a Qt program does.\n", stdout);
    return 0;
}
