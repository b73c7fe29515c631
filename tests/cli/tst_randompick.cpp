// The random pick: it must choose among exactly the loader's records that are
// not empty, each equally often however long it is, whether it samples the
// file or reads it through.
#include "../testutil.h"
#include "randompick.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <limits>

using testutil::kSep;

namespace {

enum Way { Sampled, ReadThrough, SampledThenReadThrough };

QByteArray record(const QByteArray &text, int lines, const char *lineEnd = "\r\n")
{
    QByteArray bytes;
    for (int i = 0; i < lines; ++i)
        bytes += text + QByteArray::number(i) + lineEnd;
    return bytes + kSep + lineEnd;
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

        const QByteArray mixed = record("first ", 2) + kSep + "\r\n" + " \t\r\n\r\n" + kSep + "\r\n" // two empty
                                 + "near miss\r\n" + kSep + " \r\n" + record("joined ", 1)
                                 + record("lf ", 3, "\n") + "lone\rcr\r\n" + kSep + "\r\n"
                                 + record("wide ", 900) // far wider than the first look around
                                 + "one more\r\n" + kSep; // last separator without a line break
        for (const int way : {Sampled, ReadThrough}) {
            const char *how = way == Sampled ? "sampled" : "read through";
            QTest::addRow("mixed, %s", how) << mixed << way;
            QTest::addRow("stray tail, %s", how) << mixed + "\r\ntail line\r\nand another" << way;
            QTest::addRow("starts with a separator, %s", how) << kSep + "\r\n" + record("x", 2) << way;
            QTest::addRow("lone CR ends the file, %s", how) << record("a", 1) + "b\r\n" + kSep + "\r" << way;
            QTest::addRow("UTF-8 mark, %s", how) << "\xEF\xBB\xBF" + record("marked", 1) + record("b", 1) << way;
        }
        const QString utf16 = QStringLiteral("\uFEFFhi\r\n") + QLatin1String(kSep) + QStringLiteral("\r\n");
        QTest::newRow("UTF-16") << QByteArray(reinterpret_cast<const char *>(utf16.utf16()), 2 * utf16.size())
                                << int(Sampled);
        QTest::newRow("empty file") << QByteArray() << int(SampledThenReadThrough);
        QTest::newRow("empty records only") << kSep + "\r\n \r\n\t\n" + kSep << int(SampledThenReadThrough);
        QTest::newRow("stray tail only") << QByteArray(5000, 'x') << int(SampledThenReadThrough);
    }

    void picks()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, way);
        const fortune::RandomPickOptions options{way == ReadThrough ? std::numeric_limits<qint64>::max() : 0,
                                                 way == Sampled ? 1e12 : 1.0};
        const QString path = m_dir.filePath(QStringLiteral("f.txt"));
        QVERIFY(testutil::writeFile(path, bytes));
        QList<QByteArray> expected = testutil::recordsOf(path);
        if (!expected.isEmpty() && expected[0].startsWith("\xEF\xBB\xBF"))
            expected[0].remove(0, 3); // the mark is not part of the first fortune
        expected.removeIf([](const QByteArray &text) { return text.trimmed().isEmpty(); });

        QRandomGenerator random(42);
        constexpr int each = 300;
        QList<int> hits(expected.size());
        for (int i = 0; i < each * std::max<qsizetype>(1, expected.size()); ++i) {
            const fortune::RandomPick pick = fortune::pickRandomFortune(path, random, options);
            if (expected.isEmpty()) {
                QCOMPARE(pick.outcome, fortune::RandomPick::Outcome::NoFortune);
                QVERIFY(pick.error.contains(path));
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
