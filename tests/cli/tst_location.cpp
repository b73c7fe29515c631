// Where the collection file lives: beside the program when it may be written
// there or is already there, otherwise in the user's data directory.
#include "location.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using fortune::CollectionPlace;

class TestLocation : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void rule_data()
    {
        QTest::addColumn<bool>("writable");
        QTest::addColumn<bool>("hasFile");
        QTest::addColumn<bool>("system");
        QTest::addColumn<QString>("dataDir");
        QTest::addColumn<QString>("expected");

        const QString program = QStringLiteral("/opt/fc");
        const QString data = QStringLiteral("/home/u/.local/share/fortune-collector");
        QTest::newRow("build folder or portable copy") << true << false << false << data << program;
        QTest::newRow("read-only, but holds the collection") << false << true << false << data << program;
        QTest::newRow("installed copy") << false << false << false << data << data;
        QTest::newRow("installed copy started by root") << true << false << true << data << data;
        QTest::newRow("system directory that holds the collection") << true << true << true << data
                                                                     << program;
        QTest::newRow("no data directory") << false << false << false << QString() << program;
    }

    void rule()
    {
        CollectionPlace place;
        place.programDir = QStringLiteral("/opt/fc");
        QFETCH(bool, writable);
        QFETCH(bool, hasFile);
        QFETCH(bool, system);
        QFETCH(QString, dataDir);
        place.programDirWritable = writable;
        place.programDirHasFile = hasFile;
        place.systemInstall = system;
        place.dataDir = dataDir;
        QTEST(fortune::chooseCollectionDir(place), "expected");
    }

    void factsFromTheFileSystem()
    {
        QTemporaryDir dir;
        const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QVERIFY(dataDir.contains(QLatin1String("qttest"))); // never the tester's real data

        CollectionPlace place = fortune::collectionPlaceFor(dir.path());
        QVERIFY(place.programDirWritable);
        QVERIFY(!place.programDirHasFile);
        QCOMPARE(place.dataDir, dataDir);
        QCOMPARE(fortune::chooseCollectionDir(place), dir.path());

        QFile file(dir.filePath(QStringLiteral("fortunes.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(fortune::collectionPlaceFor(dir.path()).programDirHasFile);

        // Even root cannot write into a directory below a plain file.
        const QString belowFile = dir.filePath(QStringLiteral("fortunes.txt/bin"));
        place = fortune::collectionPlaceFor(belowFile);
        QVERIFY(!place.programDirWritable);
        QCOMPARE(fortune::chooseCollectionDir(place), dataDir);

        QVERIFY(fortune::collectionPlaceFor(QStringLiteral("/usr/bin")).systemInstall);
        QVERIFY(!fortune::collectionPlaceFor(dir.path()).systemInstall);
    }

    void readOnlyDirectory()
    {
        if (geteuid() == 0)
            QSKIP("root may write into any directory");
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::ExeOwner));
        const CollectionPlace place = fortune::collectionPlaceFor(dir.path());
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(!place.programDirWritable);
        QCOMPARE(fortune::chooseCollectionDir(place), place.dataDir);
    }

    // The test program lies in the build folder, which is writable.
    void thisProgram()
    {
        QCOMPARE(fortune::collectionFilePath(),
                 QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("fortunes.txt")));
        QCOMPARE(fortune::makeFolderFor(fortune::collectionFilePath()), QString());
    }
};

QTEST_GUILESS_MAIN(TestLocation)
#include "tst_location.moc"
