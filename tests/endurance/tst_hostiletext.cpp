// Fortunes come from any web page: markup, control characters, bidirectional
// overrides and huge lines must show as the characters they are, and showing
// them must not hang the window. The same for the search term in the search
// message.
#include "../testutil.h"
#include "form1.h"
#include "startup.h"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using fortune::Form1;
using testutil::kSep;
using namespace Qt::StringLiterals;

namespace {

struct Hostile {
    const char *name;
    QByteArray stored; // the record's lines as they are in the file (CR LF after each)
    QString shown;     // what the label must hold; empty: the record decoded as UTF-8
};

QList<Hostile> hostileFortunes()
{
    return {
        {"bold markup", "<b>x</b>\r\n", {}},
        {"image from the network", "<img src=http://127.0.0.1:1/x.png>\r\n", {}},
        {"entities and a link", "<a href=\"file:///etc/passwd\">link</a> &amp; &lt;b&gt; &#65;\r\n", {}},
        {"script and table lines", "<script>alert(1)</script>\r\n<table><tr><td>cell\r\n", {}},
        {"control characters",
         QByteArray("nul") + '\0' + "bell\x07 esc\x1b[31mred\x1b[0m tab\tcr\rff\f del\x7f nel\xc2\x85 ls\xe2\x80\xa8.\r\n",
         {}},
        {"right-to-left override", "file\xe2\x80\xae" "txt.exe\xe2\x80\xac <b>\r\n",
         u"file\u202etxt.exe\u202c <b>\r\n"_s},
        {"right-to-left text", "\xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d \xe2\x80\x8f <i>\xd9\x85\xd8\xb1\xd8\xad\xd8\xa8\xd8\xa7</i>\r\n",
         u"\u05e9\u05dc\u05d5\u05dd \u200f <i>\u0645\u0631\u062d\u0628\u0627</i>\r\n"_s},
        {"Windows-1252 markup", "caf\xe9 <i>x</i>\r\n", u"caf\u00e9 <i>x</i>\r\n"_s},
    };
}

// A single line of 1 MiB: words and markup-like pieces, no line break.
QByteArray millionCharacterLine()
{
    QByteArray line;
    line.reserve(1 << 20);
    for (int i = 0; line.size() < (1 << 20) - 16; ++i)
        line += i % 7 == 0 ? QByteArray("<b>bold</b> ") : "word" + QByteArray::number(i % 1000) + ' ';
    line.resize(1 << 20, 'z');
    return line;
}

} // namespace

class TestHostileText : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Form1> m_form;
    RecordingDialogs *m_dialogs = nullptr;
    QByteArray m_longLine;

    // Browses with ">>" from where the cursor is to fortune index.
    void browseTo(qsizetype index)
    {
        while (m_form->Cursor.position() != index)
            QTest::mouseClick(m_form->cmdNext, Qt::LeftButton);
    }

private slots:
    void initTestCase();
    void shownAsPlainText_data();
    void shownAsPlainText();
    void millionCharacterLine();
    void cutKeepsCharactersWhole();
    void searchMessage_data();
    void searchMessage();
};

void TestHostileText::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QByteArray data;
    for (const Hostile &h : hostileFortunes())
        data += h.stored + kSep + "\r\n";
    m_longLine = ::millionCharacterLine();
    data += m_longLine + "\r\n" + kSep + "\r\n";
    const QString path = m_dir.filePath(QStringLiteral("hostile.txt"));
    QVERIFY(testutil::writeFile(path, data));

    m_form = std::make_unique<Form1>(path, m_dir.filePath(QStringLiteral("none.txt")));
    m_dialogs = new RecordingDialogs;
    m_form->setDialogs(std::unique_ptr<fortune::Dialogs>(m_dialogs));
    QSignalSpy loaded(m_form.get(), &Form1::loadFinished);
    m_form->Form_Load();
    QVERIFY(loaded.wait());
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
    QCOMPARE(m_dialogs->messages, QStringList());
    QCOMPARE(m_form->Fortunes.count(), hostileFortunes().size() + 1);
}

void TestHostileText::shownAsPlainText_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("shown");
    const QList<Hostile> all = hostileFortunes();
    for (int i = 0; i < all.size(); ++i)
        QTest::newRow(all[i].name) << i << (all[i].shown.isEmpty() ? QString::fromUtf8(all[i].stored) : all[i].shown);
}

void TestHostileText::shownAsPlainText()
{
    QFETCH(int, index);
    QFETCH(QString, shown);
    browseTo(index);
    QCOMPARE(m_form->lblFortune->textFormat(), Qt::PlainText);
    QCOMPARE(m_form->lblFortune->text(), shown);
    // Painting it must not go through a rich-text path or fetch anything.
    QVERIFY(!m_form->grab().isNull());
    QCOMPARE(m_dialogs->messages, QStringList());
}

void TestHostileText::millionCharacterLine()
{
    const qsizetype index = m_form->Fortunes.count() - 1;
    browseTo(index);
    const QPixmap first = m_form->grab();
    m_form->lblFortune->repaint();
    const QPixmap again = m_form->grab();
    QTest::mouseClick(m_form->cmdNext, Qt::LeftButton); // on to the empty slot
    m_form->grab();
    QVERIFY(!first.isNull() && !again.isNull());
    // The collection keeps every character; the label gets the start of the
    // line, far more than it can show, and an ellipsis.
    const QString whole = QString::fromLatin1(m_longLine + "\r\n");
    QCOMPARE(m_form->Fortunes.textAt(index), whole);
    QTest::mouseClick(m_form->cmdPrev, Qt::LeftButton);
    const QString shown = m_form->lblFortune->text();
    QVERIFY(shown.endsWith(QChar(0x2026)));
    QVERIFY(shown.size() >= 4096 && shown.size() < 64 * 1024);
    QVERIFY(whole.startsWith(shown.chopped(1)));
}

void TestHostileText::cutKeepsCharactersWhole()
{
    // Characters outside the Basic Multilingual Plane are two UTF-16 units:
    // wherever the cut falls, no half of one is left at the end.
    for (const QByteArray &lead : {QByteArray(), QByteArray("a")}) {
        QByteArray record = lead;
        while (record.size() < 200 * 1024)
            record += "\xf0\x9f\x98\x80"; // U+1F600
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("wide.txt"));
        QVERIFY(testutil::writeFile(path, record + "\r\n" + kSep + "\r\n"));
        Form1 form(path, path);
        form.setDialogs(std::make_unique<RecordingDialogs>());
        QSignalSpy loaded(&form, &Form1::loadFinished);
        form.Form_Load();
        QVERIFY(loaded.wait());
        const QString shown = form.lblFortune->text().chopped(1);
        QVERIFY(!shown.isEmpty());
        QVERIFY(!shown.back().isHighSurrogate());
        QVERIFY(form.Fortunes.textAt(0).startsWith(shown));
    }
}

void TestHostileText::searchMessage_data()
{
    QTest::addColumn<QString>("term");
    QTest::addColumn<int>("hits");
    QTest::newRow("bold markup") << u"<b>x</b>"_s << 1;
    QTest::newRow("image") << u"<img src=http://127.0.0.1:1/x.png>"_s << 1;
    QTest::newRow("entity") << u"&amp;"_s << 1;
    QTest::newRow("control characters") << u"\x1b[31m"_s << 1;
    QTest::newRow("right-to-left override") << u"\u202etxt"_s << 1;
    QTest::newRow("right-to-left text") << u"\u05e9\u05dc\u05d5\u05dd"_s << 1;
    // The input box takes at most 32767 characters.
    QTest::newRow("longest term the input box takes") << QString::fromLatin1(m_longLine.first(32767)) << 1;
}

void TestHostileText::searchMessage()
{
    QFETCH(QString, term);
    QFETCH(int, hits);
    m_dialogs->messages.clear();
    m_dialogs->answers = {term};
    QTest::mouseClick(m_form->Command7, Qt::LeftButton);
    const QString expected = QString::number(hits) + QStringLiteral(" fortunes contain '") + term
                             + QStringLiteral("'.");
    QCOMPARE(m_dialogs->messages, QStringList{expected});

    // The box that would show it: plain text, drawn without hanging.
    auto box = fortune::WidgetDialogs::makeMessageBox(m_form.get(), expected);
    QCOMPARE(box->textFormat(), Qt::PlainText);
    QCOMPARE(box->text(), expected);
    QCOMPARE(box->windowTitle(), fortune::programTitle());
    box->show();
    QVERIFY(!box->grab().isNull());
    box->hide();
}

QTEST_MAIN(TestHostileText)
#include "tst_hostiletext.moc"
