// How long the window takes to show a huge fortune: ">>" clicked and the
// window repainted, in CPU time of the window's thread (the median of five
// showings), against the 100 ms a stall of the window may last. Prints one
// JSON line per fortune.
#include "form1.h"

#include <QApplication>
#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

double cpuMs()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QByteArray separator = "||||||||||##########||||||||||\r\n";
    QByteArray words, lines, astral;
    for (int i = 0; words.size() < (1 << 20); ++i)
        words += "word" + QByteArray::number(i % 1000) + ' ';
    for (int i = 1; i <= 100'000; ++i)
        lines += "Line " + QByteArray::number(i) + "\r\n";
    while (astral.size() < (1 << 20))
        astral += "\xf0\x9f\x98\x80";
    const std::pair<const char *, QByteArray> fortunes[] = {
        {"show_1mib_line_of_words", words + "\r\n"},
        {"show_100000_lines", lines},
        {"show_1mib_word", QByteArray(1 << 20, 'x') + "\r\n"},
        {"show_1mib_of_emoji", astral + "\r\n"},
    };
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("fortunes.txt")));
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    file.write("A short one.\r\n" + separator);
    for (const auto &fortune : fortunes)
        file.write(fortune.second + separator);
    file.close();

    fortune::Form1 window(file.fileName(), dir.filePath(QStringLiteral("none.txt")));
    QSignalSpy loaded(&window, &fortune::Form1::loadFinished);
    window.Form_Load();
    if (!loaded.wait(60'000))
        return 1;
    auto *next = window.findChild<QPushButton *>(QStringLiteral("cmdNext"));
    constexpr int kShowings = 5;
    std::vector<double> took[std::size(fortunes)];
    for (int round = 0; round < kShowings; ++round) {
        for (auto &times : took) {
            const double start = cpuMs();
            next->click();
            window.repaint();
            times.push_back(cpuMs() - start);
        }
        next->click(); // the empty position after the last
        next->click(); // and round to the short one
    }
    for (size_t i = 0; i < std::size(fortunes); ++i) {
        std::sort(took[i].begin(), took[i].end());
        const double median = took[i][kShowings / 2];
        std::printf("{\"name\":\"%s\",\"value\":%.2f,\"unit\":\"ms\",\"anchor\":\"stall_budget\","
                    "\"anchor_value\":100,\"ratio\":%.3f}\n",
                    fortunes[i].first, median, median / 100);
    }
    return 0;
}
