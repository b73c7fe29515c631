// The random pick: it must choose among exactly the records the loader sees,
// and choose each of them equally often, however long they are.
#include "../testutil.h"
#include "randompick.h"

#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

using fortune::RandomPick;
using fortune::RandomPickOptions;

namespace {

using testutil::kSep;

// Every landing is sampled, never the whole-file shortcut.
RandomPickOptions sampleOnly()
{
    RandomPickOptions options;
    options.wholeFileBelow = 0;
    options.maxTries = 1'000'000;
    return options;
}

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

    QString write(const char *name, const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(QLatin1String(name));
        if (!testutil::writeFile(path, bytes))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void picksOnlyTheLoadersRecords_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("maxTries");

        const QByteArray mixed = record("first ", 2) + kSep + "\r\n" // an empty record
                                 + "near miss\r\n" + kSep + " \r\n" + record("joined ", 1)
                                 + record("lf ", 3, "\n") + "lone\rcr\r\n" + kSep + "\r\n"
                                 + record("wide ", 900) // far wider than the first look around
                                 + "one more\r\n" + kSep; // last separator without a line break
        QTest::newRow("mixed") << mixed << 1'000'000;
        QTest::newRow("mixed, stray tail") << mixed + "\r\ntail line\r\nand another" << 1'000'000;
        QTest::newRow("starts with a separator") << kSep + "\r\n" + record("x", 2) << 1'000'000;
        QTest::newRow("last separator ends in a lone CR")
            << record("a", 1) + "b\r\n" + kSep + "\r" << 1'000'000;
        QTest::newRow("whole-file fallback") << mixed << 0;
    }

    void picksOnlyTheLoadersRecords()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, maxTries);
        const QString path = write("mixed.txt", bytes);
        const QList<QByteArray> expected = testutil::recordsOf(path);
        QVERIFY(!expected.isEmpty());

        RandomPickOptions options = sampleOnly();
        options.maxTries = maxTries;
        QRandomGenerator random(42);
        QSet<QByteArray> seen;
        for (int i = 0; i < 40 * expected.size(); ++i) {
            const RandomPick pick = fortune::pickRandomFortune(path, random, options);
            QCOMPARE(pick.outcome, RandomPick::Outcome::Picked);
            QVERIFY2(expected.contains(pick.fortune), pick.fortune.left(200).constData());
            seen.insert(pick.fortune);
        }
        QCOMPARE(seen.size(), QSet<QByteArray>(expected.begin(), expected.end()).size());
    }

    // Three records of 36, about 600 and about 2,900 bytes. Picking a random
    // byte without the correction would choose the long one about 80% of the time.
    void uniformOverRecords()
    {
        const QByteArray bytes = record("s", 1) + record("medium line ", 40) + record("a long line of text ", 120);
        const QString path = write("three.txt", bytes);
        const QList<QByteArray> records = testutil::recordsOf(path);
        QCOMPARE(records.size(), 3);

        QRandomGenerator random(20241206);
        constexpr int picks = 3000;
        int hits[3] = {0, 0, 0};
        for (int i = 0; i < picks; ++i) {
            const RandomPick pick = fortune::pickRandomFortune(path, random, sampleOnly());
            const qsizetype which = records.indexOf(pick.fortune);
            QVERIFY(which >= 0);
            ++hits[which];
        }
        double chiSquare = 0;
        for (int h : hits)
            chiSquare += (h - picks / 3.0) * (h - picks / 3.0) / (picks / 3.0);
        // Two degrees of freedom: 13.8 is exceeded by chance once in a thousand.
        QVERIFY2(chiSquare < 13.8, qPrintable(QStringLiteral("hits %1 %2 %3, chi-square %4")
                                                  .arg(hits[0]).arg(hits[1]).arg(hits[2]).arg(chiSquare)));
    }

    void emptyMissingAndUnreadable()
    {
        QRandomGenerator random(1);
        QCOMPARE(fortune::pickRandomFortune(write("empty.txt", {}), random).outcome,
                 RandomPick::Outcome::Empty);
        RandomPickOptions fewTries = sampleOnly();
        fewTries.maxTries = 50; // every landing is in the tail: give up and load the file
        QCOMPARE(fortune::pickRandomFortune(write("tail-only.txt", QByteArray(5000, 'x')), random, fewTries)
                     .outcome,
                 RandomPick::Outcome::Empty);
        QCOMPARE(fortune::pickRandomFortune(m_dir.filePath(QStringLiteral("none.txt")), random).outcome,
                 RandomPick::Outcome::Missing);
        const RandomPick directory = fortune::pickRandomFortune(m_dir.path(), random, sampleOnly());
        QCOMPARE(directory.outcome, RandomPick::Outcome::Failed);
        QVERIFY(!directory.error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestRandomPick)
#include "tst_randompick.moc"
