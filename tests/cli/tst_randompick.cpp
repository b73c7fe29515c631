// The random pick: it must choose among exactly the loader's records that are
// not empty (and of the length asked for), each equally often however long it
// is, whether it samples the file or reads it through.
#include "../testutil.h"
#include "randompick.h"

#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;
using testutil::kSep;

namespace {

// Sampled: a budget that practically never runs out, yet does, so that a pick
// which can accept nothing still ends.
enum Way { Sampled, ReadThrough, SampledThenReadThrough };

QByteArray record(const QByteArray &text, int lines, const char *lineEnd = "\r\n")
{
    QByteArray bytes;
    for (int i = 0; i < lines; ++i)
        bytes += text + QByteArray::number(i) + lineEnd;
    return bytes + kSep + lineEnd;
}

// Characters as shown, each line break one: the plain way.
qsizetype shownLength(const QByteArray &stored)
{
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8(stored);
    if (utf8.hasError())
        text = QString::fromLatin1(stored); // one character a byte, as Windows-1252
    return text.replace(u"\r\n"_s, u"\n"_s).toUcs4().size();
}

fortune::LengthLimit limit(const char *text) // "short 12", "long 12" or ""
{
    const QList<QByteArray> words = QByteArray(text).split(' ');
    using Kind = fortune::LengthLimit::Kind;
    return {words[0] == "short" ? Kind::Short : words[0] == "long" ? Kind::Long : Kind::Any, words.value(1).toInt()};
}

} // namespace

class TestRandomPick : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void picks_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("way");
        QTest::addColumn<QByteArray>("length");

        const QByteArray mixed = record("first ", 2) + kSep + "\r\n" + " \t\r\n\r\n" + kSep + "\r\n" // two empty
                                 + "near miss\r\n" + kSep + " \r\n" + record("joined ", 1)
                                 + record("lf ", 3, "\n") + "lone\rcr\r\n" + kSep + "\r\n"
                                 + record("wide ", 900) // far wider than the first look around
                                 + "one more\r\n" + kSep; // last separator without a line break
        // Twelve characters each as shown, or thirteen, in 12 to 46 bytes.
        const QByteArray lengths = record("abcdefghij", 1) + record("klmnopqrst", 1, "\n") + record("abcdefghijk", 1)
                                   + "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6\n" + kSep + "\n"
                                   + QByteArray("\xF0\x9F\x98\x80").repeated(11) + "\r\n" + kSep + "\r\n"
                                   + QByteArray("\x80\x99\xE9").repeated(4) + "\r\n" + kSep + "\r\n" // Windows-1252
                                   + "ab\r\ncd\r\nefghi\r\n" + kSep + "\r\n";
        for (const int way : {Sampled, ReadThrough}) {
            const char *how = way == Sampled ? "sampled" : "read through";
            QTest::addRow("mixed, %s", how) << mixed << way << QByteArray();
            QTest::addRow("stray tail, %s", how) << mixed + "\r\ntail line\r\nand another" << way << QByteArray();
            QTest::addRow("starts with a separator, %s", how) << kSep + "\r\n" + record("x", 2) << way << QByteArray();
            QTest::addRow("lone CR ends the file, %s", how) << record("a", 1) + "b\r\n" + kSep + "\r" << way << QByteArray();
            QTest::addRow("UTF-8 mark, %s", how) << "\xEF\xBB\xBF" + record("marked", 1) + record("b", 1) << way << QByteArray();
            QTest::addRow("short, %s", how) << lengths << way << QByteArray("short 12");
            QTest::addRow("long, %s", how) << lengths << way << QByteArray("long 12");
            QTest::addRow("long among empty and wide, %s", how) << mixed << way << QByteArray("long 40");
        }
        QTest::newRow("short, few among long ones") << record("long one ", 40).repeated(300) + lengths
                                                    << int(SampledThenReadThrough) << QByteArray("short 12");
        QTest::newRow("none long enough") << lengths << int(SampledThenReadThrough) << QByteArray("long 13");
        const QString utf16 = QStringLiteral("\uFEFFhi\r\n") + QLatin1String(kSep) + QStringLiteral("\r\nlonger\r\n")
                              + QLatin1String(kSep);
        QTest::newRow("UTF-16") << QByteArray(reinterpret_cast<const char *>(utf16.utf16()), 2 * utf16.size())
                                << int(Sampled) << QByteArray();
        QTest::newRow("UTF-16, short") << QByteArray(reinterpret_cast<const char *>(utf16.utf16()), 2 * utf16.size())
                                       << int(Sampled) << QByteArray("short 3");
        QTest::newRow("empty file") << QByteArray() << int(SampledThenReadThrough) << QByteArray();
        QTest::newRow("empty records only") << kSep + "\r\n \r\n\t\n" + kSep << int(SampledThenReadThrough) << QByteArray();
        QTest::newRow("stray tail only") << QByteArray(5000, 'x') << int(SampledThenReadThrough) << QByteArray();
    }

    void picks()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, way);
        QFETCH(QByteArray, length);
        const fortune::RandomPickOptions options{way == ReadThrough ? std::numeric_limits<qint64>::max() : 0,
                                                 way == Sampled ? 1e3 : 1.0, limit(length.constData())};
        const QString path = m_dir.filePath(QStringLiteral("f.txt"));
        QVERIFY(testutil::writeFile(path, bytes));
        QList<QByteArray> expected = testutil::recordsOf(path);
        if (!expected.isEmpty() && expected[0].startsWith("\xEF\xBB\xBF"))
            expected[0].remove(0, 3); // the mark is not part of the first fortune
        const fortune::LengthLimit wanted = options.length;
        expected.removeIf([&](const QByteArray &text) {
            const bool isShort = shownLength(text) <= wanted.limit;
            return text.trimmed().isEmpty() || (wanted.kind != fortune::LengthLimit::Kind::Any
                                                && isShort != (wanted.kind == fortune::LengthLimit::Kind::Short));
        });

        QRandomGenerator random(42);
        constexpr int each = 300;
        QList<int> hits(expected.size());
        for (int i = 0; i < each * std::max<qsizetype>(1, expected.size()); ++i) {
            const fortune::RandomPick pick = fortune::pickRandomFortune(path, random, options);
            if (expected.isEmpty()) {
                QCOMPARE(pick.outcome, fortune::RandomPick::Outcome::NoFortune);
                QVERIFY(pick.error.contains(path));
                QVERIFY(wanted.kind == fortune::LengthLimit::Kind::Any || pick.error.contains(QString::number(wanted.limit)));
                return;
            }
            const qsizetype which = expected.indexOf(pick.fortune);
            QVERIFY2(which >= 0, pick.fortune.left(200).constData());
            ++hits[which];
        }
        // Picking a random byte without the correction would choose the wide
        // record about 80% of the time. Pearson's test at p = 0.001, its limit
        // after Wilson and Hilferty.
        double chiSquare = 0;
        for (const int h : hits)
            chiSquare += (h - each) * (h - each) / double(each);
        const double df = double(expected.size() - 1);
        const double limit = df * std::pow(1 - 2 / (9 * df) + 3.09 * std::sqrt(2 / (9 * df)), 3);
        QVERIFY2(df == 0 || chiSquare < limit, qPrintable(QStringLiteral("chi-square %1, limit %2").arg(chiSquare).arg(limit)));
    }
};

QTEST_GUILESS_MAIN(TestRandomPick)
#include "tst_randompick.moc"
