// A short endurance run (tools/endurance runs the long one): endurance_driver
// downloads new fortunes, then the same fortune again and again, and its
// memory and descriptors must stay flat once warmed up.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#if defined(__SANITIZE_ADDRESS__)
#define FORTUNE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FORTUNE_ASAN 1
#endif
#endif

namespace {

constexpr int kCycles = 2000;
// The repeated fortune stores nothing: what the process holds must not grow.
constexpr qint64 kFlatKiB = 256;

} // namespace

class TestEndurance : public QObject {
    Q_OBJECT

private slots:
    void cyclesLeaveNothingBehind();
};

void TestEndurance::cyclesLeaveNothingBehind()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess driver;
    driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    driver.start(QStringLiteral(ENDURANCE_DRIVER), {QStringLiteral(FORTUNE_SITE), dir.path(),
                                                    QString::number(kCycles), QString::number(kCycles)});
    QVERIFY(driver.waitForFinished(240000));
    QCOMPARE(driver.exitStatus(), QProcess::NormalExit);
    QCOMPARE(driver.exitCode(), 0);

    QList<QJsonObject> lines;
    for (const QByteArray &line : driver.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            lines << QJsonDocument::fromJson(line).object();
    }
    QCOMPARE(lines.size(), 3);
    const QJsonObject distinct = lines[0], same = lines[1], collection = lines[2];
    QCOMPARE(distinct["cycles"].toInt(), kCycles);
    QCOMPARE(distinct["stored"].toInt(), kCycles);
    QCOMPARE(same["cycles"].toInt(), kCycles);
    QCOMPARE(same["stored"].toInt(), 1);
    const int served = collection["distinct_served"].toInt();
    QCOMPARE(served, kCycles + 1);
    QCOMPARE(collection["count"].toInt(), served);
    QCOMPARE(collection["in_file"].toInt(), served);
    QCOMPARE(collection["separators"].toInt(), served);

    for (const QJsonObject &phase : {distinct, same}) {
        const QByteArray figures = QJsonDocument(phase).toJson(QJsonDocument::Compact);
        // Every connection is closed again, cycle after cycle.
        QVERIFY2(phase["fd_end"].toInteger() == phase["fd_start"].toInteger(), figures.constData());
        QVERIFY2(phase["fd_max"].toInteger() <= phase["fd_start"].toInteger() + 2, figures.constData());
#ifndef FORTUNE_ASAN // the sanitizer keeps freed memory in quarantine
        const qint64 grown = phase["rss_kib_end"].toInteger() - phase["rss_kib_warm"].toInteger();
        const qint64 stored = phase["store_kib_end"].toInteger() - phase["store_kib_warm"].toInteger();
        // The list and its index grow by doubling; four times the new text
        // bounds that, anything per cycle beyond it is a leak.
        QVERIFY2(grown <= 4 * stored + kFlatKiB, figures.constData());
#endif
    }
    for (const QJsonObject &line : lines)
        qInfo("%s", QJsonDocument(line).toJson(QJsonDocument::Compact).constData());
}

QTEST_GUILESS_MAIN(TestEndurance)
#include "tst_endurance.moc"
