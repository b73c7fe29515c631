// Build tool: writes an image's pixels as a C++ array, so that the program's
// window icon needs no decoding at start (decoding the PNG, with the image
// plugins Qt loads to recognise it, cost more than the rest of the window).
//   embedicon IMAGE HEADER NAME
#include <QFile>
#include <QImage>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: embedicon IMAGE HEADER NAME\n");
        return 2;
    }
    const QImage image = QImage(QString::fromLocal8Bit(argv[1]))
                             .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) {
        std::fprintf(stderr, "embedicon: cannot read %s\n", argv[1]);
        return 1;
    }
    const QByteArray name(argv[3]);
    QByteArray out = "// Made from " + QByteArray(argv[1]).split('/').last() + " by embedicon.\n"
                     "#pragma once\n#include <cstdint>\n"
                     "inline constexpr int " + name + "Width = " + QByteArray::number(image.width())
                     + ", " + name + "Height = " + QByteArray::number(image.height()) + ";\n"
                     "// Premultiplied 0xAARRGGBB, row by row.\n"
                     "alignas(16) inline constexpr std::uint32_t " + name + "[] = {\n";
    for (int y = 0; y < image.height(); ++y) {
        const auto *row = reinterpret_cast<const quint32 *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            out += "0x" + QByteArray::number(row[x], 16).rightJustified(8, '0') + (x % 8 == 7 ? ",\n" : ",");
    }
    out += "};\n";
    QFile file(QString::fromLocal8Bit(argv[2]));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(out) != out.size()) {
        std::fprintf(stderr, "embedicon: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
