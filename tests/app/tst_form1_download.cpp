// The window's download buttons against a scripted site on 127.0.0.1: the count
// rises, stop and close end the loop, a second start is ignored, failures come
// back as one message, and the hidden extraction test rewrites the reload file.
#include "../testutil.h"
#include "extraction.h"
#include "fakesite.h"
#include "form1.h"
#include "sitepage.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace fortune;
using namespace std::chrono_literals;

namespace {

Reply page(QByteArrayView fortune)
{
    return Reply{{site::okResponse(site::fortunePage(fortune), true)}, 0, Reply::End::KeepOpen};
}

} // namespace

class TestForm1Download : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<Form1> m_form;
    RecordingDialogs *m_dialogs = nullptr;

    void open(quint16 port)
    {
        m_form = std::make_unique<Form1>(m_dir.filePath(QStringLiteral("fortunes.txt")),
                                         m_dir.filePath(QStringLiteral("reload.txt")));
        m_dialogs = new RecordingDialogs;
        m_form->setDialogs(std::unique_ptr<Dialogs>(m_dialogs));
        m_form->setSite(SiteSettings{QStringLiteral("127.0.0.1"), port});
        m_form->download().setTimeouts(DownloadTimeouts{5000ms, 2000ms, 4000ms});
        QSignalSpy loaded(m_form.get(), &Form1::loadFinished);
        m_form->Form_Load();
        QVERIFY(loaded.wait(10000));
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        QFile::remove(m_dir.filePath(QStringLiteral("fortunes.txt")));
    }
    void cleanup() { m_form.reset(); }

    void downloadsUntilStopped()
    {
        FakeSite site;
        site.setReplies({page("One\r\n"), page("Two\r\n"), page("Three\r\n"), page("One\r\n")});
        open(site.port());
        const QString shownBefore = m_form->lblFortune->text();

        m_form->Command3->click();
        QTRY_COMPARE(m_form->Label1->text(), QStringLiteral("3"));
        // A second click while the loop runs starts nothing new.
        const int connectionsBefore = site.connections();
        m_form->Command3->click();
        QVERIFY(m_form->download().isRunning());
        QVERIFY(site.connections() <= connectionsBefore + 1);

        m_form->Command6->click();
        QTRY_VERIFY(!m_form->download().isRunning());
        QVERIFY2(m_dialogs->messages.isEmpty(), qPrintable(m_dialogs->messages.join('\n')));
        // Known fortunes were not stored again; the view was left alone.
        QCOMPARE(m_form->Label1->text(), QStringLiteral("3"));
        QCOMPARE(m_form->lblFortune->text(), shownBefore);
        QCOMPARE(m_form->lblFNum->text(), QStringLiteral("0"));

        QCOMPARE(testutil::recordsOf(m_form->collectionPath()),
                 (QList<QByteArray>{"One\r\n", "Two\r\n", "Three\r\n"}));
    }

    void failureIsOneMessage()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 closedPort = probe.serverPort();
        probe.close();
        open(closedPort);

        m_form->Command3->click();
        QTRY_VERIFY(!m_form->download().isRunning());
        QCOMPARE(m_dialogs->messages.size(), 1);
        QVERIFY2(m_dialogs->messages[0].contains(QStringLiteral("127.0.0.1:%1").arg(closedPort)),
                 qPrintable(m_dialogs->messages[0]));
        QCOMPARE(m_form->Label1->text(), QStringLiteral("0"));
        QVERIFY(!QFile::exists(m_form->collectionPath()));
        // The window goes on: another try runs and fails the same way.
        m_form->Command3->click();
        QTRY_COMPARE(m_dialogs->messages.size(), 2);
    }

    void closingStopsTheDownload()
    {
        FakeSite site;
        site.setReplies({Reply{{}, 0, Reply::End::Silent}});
        open(site.port());
        m_form->show();
        m_form->Command3->click();
        QSignalSpy asked(&site, &FakeSite::requestReceived);
        QVERIFY(asked.wait(5000));
        m_form->close();
        QVERIFY(!m_form->download().isRunning());
        QVERIFY(m_dialogs->messages.isEmpty());
        QVERIFY(!QFile::exists(m_form->collectionPath()));
    }

    void extractionTestRewritesReloadFile()
    {
        FakeSite site;
        site.setReplies({page("ab\r\ncd\r\n")});
        open(site.port());
        QVERIFY(testutil::writeFile(m_form->reloadPath(), "old\r\n"));

        // The single steps: connect, then send the page request.
        m_form->Command1->click();
        QTRY_COMPARE(m_form->Text1->toPlainText(), QStringLiteral("Connected..."));
        m_form->Command2->click();
        QTRY_VERIFY(m_form->download().receiveBuffer().endsWith("</html>\n"));

        m_form->Command5->click();
        QCOMPARE(m_dialogs->messages.size(), 1);
        QCOMPARE(m_dialogs->messages[0], testExtraction(m_form->download().receiveBuffer()));
        QVERIFY(m_dialogs->messages[0].startsWith(QStringLiteral("ab<Bb<BR")));
        QCOMPARE(testutil::readFile(m_form->reloadPath()), kSeparator.toByteArray() + "\r\n");
    }
};

QTEST_MAIN(TestForm1Download)
#include "tst_form1_download.moc"
