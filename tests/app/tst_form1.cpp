#include "../testutil.h"
#include "form1.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using fortune::Form1;
using namespace testutil;

namespace {

// Remembers the text a label had each time it was painted.
class PaintRecorder : public QObject {
public:
    explicit PaintRecorder(QLabel *label) : m_label(label) { label->installEventFilter(this); }
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_label && event->type() == QEvent::Paint)
            texts << m_label->text();
        return false;
    }
    QStringList texts;

private:
    QLabel *m_label;
};

} // namespace

class TestForm1 : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString write(const QString &name, const QByteArray &data)
    {
        if (!writeFile(path(name), data))
            qFatal("cannot write %s", qPrintable(name));
        return path(name);
    }

    // A window on the given files, started and loaded, with scripted boxes.
    struct Started {
        std::unique_ptr<Form1> form;
        RecordingDialogs *dialogs;
    };
    Started start(const QString &collection, const QString &reload = QString())
    {
        Started s{std::make_unique<Form1>(collection, reload.isEmpty() ? path("none.txt") : reload),
                  new RecordingDialogs};
        s.form->setDialogs(std::unique_ptr<fortune::Dialogs>(s.dialogs));
        QSignalSpy loaded(s.form.get(), &Form1::loadFinished);
        s.form->Form_Load();
        if (!loaded.wait(60000))
            qFatal("the window never finished loading");
        return s;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void layout_data();
    void layout();
    void hiddenControlsStayHidden();
    void tabOrder();
    void countRisesDuringLoad();
    void browsing();
    void search_data();
    void search();
    void missingStartFileIsNoError();
    void reloadAddsAfterWhatIsThere();
    void reloadFailuresAreReported_data();
    void reloadFailuresAreReported();
    void screenshot();
};

void TestForm1::layout_data()
{
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("shown");

    auto row = [](const char *name, const char *parent, int l, int t, int w, int h,
                  const char *caption, bool shown = true) {
        QTest::newRow(name) << QString::fromLatin1(parent) << QRect(l, t, w, h)
                            << QString::fromUtf8(caption) << shown;
    };
    row("Command7", "Form1", 4680, 600, 1455, 255, "Search Quotes");
    row("Command6", "Form1", 3000, 120, 1695, 495, "Stop It Already!!!!");
    row("Frame1", "Form1", 120, 720, 8175, 4695, "Fortune Viewer");
    row("Command4", "Frame1", 2400, 240, 975, 255, "Reload");
    row("cmdNext", "Frame1", 1800, 240, 495, 255, ">>");
    row("cmdPrev", "Frame1", 120, 240, 495, 255, "<<");
    row("lblFortune", "Frame1", 120, 600, 7935, 3975, "Fortune Goes Here...");
    row("lblFNum", "Frame1", 720, 240, 975, 255, "0");
    row("Command3", "Form1", 960, 120, 1695, 495, "Download Fortunes");
    row("Command5", "Form1", 3720, 120, 1095, 375, "Command5", false);
    row("Text1", "Form1", 120, 5040, 8055, 375, "Waiting...\r\n", false);
    row("Command2", "Form1", 2400, 120, 1095, 375, "Command2", false);
    row("Command1", "Form1", 960, 120, 1215, 375, "Command1", false);
    row("Label1", "Form1", 4920, 240, 2295, 255, "0");
}

void TestForm1::layout()
{
    QFETCH(QString, parent);
    QFETCH(QRect, twips);
    QFETCH(QString, caption);
    QFETCH(bool, shown);

    Form1 form(path("none.txt"), path("none.txt"));
    form.show();
    QCOMPARE(form.windowTitle(), QStringLiteral("Form1"));
    QCOMPARE(form.size(), QSize(558, 369));

    auto *control = form.findChild<QWidget *>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(control);
    QCOMPARE(control->parentWidget()->objectName(), parent);
    QCOMPARE(control->geometry(), QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15,
                                        twips.height() / 15));
    QCOMPARE(control->isVisible(), shown);

    QString text;
    if (auto *button = qobject_cast<QPushButton *>(control))
        text = button->text();
    else if (auto *frame = qobject_cast<QGroupBox *>(control))
        text = frame->title();
    else if (auto *edit = qobject_cast<QPlainTextEdit *>(control))
        text = edit->toPlainText();
    else if (auto *label = qobject_cast<QLabel *>(control)) {
        text = label->text();
        QCOMPARE(label->textFormat(), Qt::PlainText);
        // A screen reader reads the label's text; the description says what it is.
        QVERIFY(label->accessibleName().isEmpty());
        QVERIFY(!label->accessibleDescription().isEmpty());
    }
    if (qobject_cast<QPlainTextEdit *>(control)) // the text box keeps lines, not line ends
        QCOMPARE(text.trimmed(), caption.trimmed());
    else
        QCOMPARE(text, caption);
}

void TestForm1::hiddenControlsStayHidden()
{
    auto [form, dialogs] = start(write("three.txt", fortunesFile({"one", "two", "three"})));
    const char *hidden[] = {"Command1", "Command2", "Command5", "Text1"};
    auto hiddenShown = [&] {
        for (const char *name : hidden)
            if (form->findChild<QWidget *>(QLatin1String(name))->isVisible())
                return QString::fromLatin1(name);
        return QString();
    };
    QCOMPARE(hiddenShown(), QString());
    dialogs->answers = {std::nullopt};
    for (QPushButton *button : {form->cmdNext, form->cmdPrev, form->Command4, form->Command7,
                                form->Command3, form->Command6}) {
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(hiddenShown(), QString());
    }
}

void TestForm1::tabOrder()
{
    Form1 form(path("none.txt"), path("none.txt"));
    form.show();
    QApplication::setActiveWindow(&form);
    QVERIFY(QTest::qWaitForWindowActive(&form));
    form.Command3->setFocus(Qt::OtherFocusReason);
    QCOMPARE(QApplication::focusWidget(), form.Command3);

    QStringList visited;
    for (int i = 0; i < 6; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, QStringList({"cmdPrev", "cmdNext", "Command4", "Command6", "Command7",
                                   "Command3"}));
}

// The design's captions show first, then the count rises while the file loads.
void TestForm1::countRisesDuringLoad()
{
    // Many of the loader's progress intervals long, two records more than the list holds.
    const int records = int(fortune::kSlotCount) + 2;
    QByteArray data;
    data.reserve(qsizetype(records) * 48);
    const QByteArray closing = "\r\n" + fortune::kSeparator.toByteArray() + "\r\n";
    for (int i = 0; i < records; ++i)
        data += "Fortune " + QByteArray::number(i) + closing;
    const QString file = write("big.txt", data);
    data.clear();

    Form1 form(file, path("none.txt"));
    auto *dialogs = new RecordingDialogs;
    form.setDialogs(std::unique_ptr<fortune::Dialogs>(dialogs));
    PaintRecorder countLabel(form.Label1);
    PaintRecorder fortuneLabel(form.lblFortune);
    QSignalSpy loaded(&form, &Form1::loadFinished);
    form.Form_Load();
    QVERIFY(loaded.wait(120000));
    QVERIFY(!fortuneLabel.texts.isEmpty());
    QCOMPARE(fortuneLabel.texts.first(), QStringLiteral("Fortune Goes Here..."));
    QCOMPARE(countLabel.texts.first(), QStringLiteral("0"));

    // A full list stops the load with the loader's message; what was stored stays.
    const QString full = QString::number(fortune::kSlotCount);
    QCOMPARE(form.Label1->text(), full);
    QCOMPARE(dialogs->messages.size(), 1);
    QCOMPARE(form.lblFortune->text(), QStringLiteral("Fortune 0\r\n"));
    QCOMPARE(form.lblFNum->text(), QStringLiteral("0"));
    QVERIFY(form.isVisible());

    // Counts painted while the file was read, strictly between nothing and all.
    QStringList between;
    for (const QString &text : std::as_const(countLabel.texts))
        if (text != QLatin1String("0") && text != full && !between.contains(text))
            between << text;
    QVERIFY2(!between.isEmpty(), qPrintable(countLabel.texts.join(' ')));
    // Rising, and not a repaint per record.
    for (qsizetype i = 1; i < between.size(); ++i)
        QVERIFY(between[i].toLongLong() > between[i - 1].toLongLong());
    QVERIFY(countLabel.texts.size() < 10000);
}

void TestForm1::browsing()
{
    auto [form, dialogs] = start(write("browse.txt", fortunesFile({"A", "B", "C"})));
    struct Step {
        QPushButton *button;
        const char *cursor;
        const char *fortune;
    };
    // Both ends wrap through the empty slot after the last fortune.
    const Step steps[] = {
        {form->cmdNext, "1", "B\r\n"}, {form->cmdNext, "2", "C\r\n"}, {form->cmdNext, "3", ""},
        {form->cmdNext, "0", "A\r\n"}, {form->cmdPrev, "3", ""},      {form->cmdPrev, "2", "C\r\n"},
    };
    for (const Step &step : steps) {
        QTest::mouseClick(step.button, Qt::LeftButton);
        QCOMPARE(form->lblFNum->text(), QLatin1String(step.cursor));
        QCOMPARE(form->lblFortune->text(), QLatin1String(step.fortune));
    }
    QCOMPARE(form->Label1->text(), QStringLiteral("3"));
    QVERIFY(dialogs->messages.isEmpty());
}

void TestForm1::search_data()
{
    QTest::addColumn<std::optional<QString>>("answer");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("cancel") << std::optional<QString>() << QStringList();
    QTest::newRow("mixed case, first fortune counts")
        << std::optional<QString>(QStringLiteral("cAt"))
        << QStringList{QStringLiteral("2 fortunes contain 'cAt'.")};
    QTest::newRow("markup stays text") << std::optional<QString>(QStringLiteral("<b>"))
                                       << QStringList{QStringLiteral("1 fortunes contain '<b>'.")};
    QTest::newRow("empty term") << std::optional<QString>(QString())
                                << QStringList{QStringLiteral("4 fortunes contain ''.")};
    QTest::newRow("no hit") << std::optional<QString>(QStringLiteral("zebra"))
                            << QStringList{QStringLiteral("0 fortunes contain 'zebra'.")};
}

void TestForm1::search()
{
    QFETCH(std::optional<QString>, answer);
    QFETCH(QStringList, messages);

    auto [form, dialogs] =
        start(write("search.txt", fortunesFile({"Cat", "concatenate", "dog", "a <b>bold</b> dog"})));
    QTest::mouseClick(form->cmdNext, Qt::LeftButton);
    dialogs->answers = {answer};
    QTest::mouseClick(form->Command7, Qt::LeftButton);
    QCOMPARE(dialogs->prompts, QStringList{QStringLiteral("What do you want to search for?")});
    QCOMPARE(dialogs->messages, messages);
    // Search changes nothing on show.
    QCOMPARE(form->Label1->text(), QStringLiteral("4"));
    QCOMPARE(form->lblFNum->text(), QStringLiteral("1"));
    QCOMPARE(form->lblFortune->text(), QStringLiteral("concatenate\r\n"));
}

void TestForm1::missingStartFileIsNoError()
{
    auto [form, dialogs] = start(path("absent/fortunes.txt"));
    QCOMPARE(dialogs->messages, QStringList());
    QCOMPARE(form->Label1->text(), QStringLiteral("0"));
    QCOMPARE(form->lblFortune->text(), QString());
    QVERIFY(!QFile::exists(path("absent/fortunes.txt")));
}

void TestForm1::reloadAddsAfterWhatIsThere()
{
    const QString file = write("twice.txt", fortunesFile({"X", "Y"}));
    auto [form, dialogs] = start(file, file);
    QTest::mouseClick(form->cmdNext, Qt::LeftButton);
    QCOMPARE(form->lblFortune->text(), QStringLiteral("Y\r\n"));

    QSignalSpy loaded(form.get(), &Form1::loadFinished);
    QTest::mouseClick(form->Command4, Qt::LeftButton);
    QCOMPARE(loaded.size(), 1);
    QCOMPARE(dialogs->messages, QStringList());
    QCOMPARE(form->Label1->text(), QStringLiteral("4"));
    QCOMPARE(form->Fortunes.textAt(3), QStringLiteral("Y\r\n"));
    // Fortunes(0) on show, the cursor where it was.
    QCOMPARE(form->lblFortune->text(), QStringLiteral("X\r\n"));
    QCOMPARE(form->lblFNum->text(), QStringLiteral("1"));
    QTest::mouseClick(form->cmdNext, Qt::LeftButton);
    QCOMPARE(form->lblFNum->text(), QStringLiteral("2"));
}

void TestForm1::reloadFailuresAreReported_data()
{
    QTest::addColumn<QString>("reloadFile");
    QTest::newRow("missing") << QStringLiteral("missing.txt");
    QTest::newRow("directory") << QStringLiteral("adir");
}

void TestForm1::reloadFailuresAreReported()
{
    QFETCH(QString, reloadFile);
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("adir")));
    const QString reload = path(reloadFile);
    auto [form, dialogs] = start(write("kept.txt", fortunesFile({"kept"})), reload);

    QTest::mouseClick(form->Command4, Qt::LeftButton);
    QCOMPARE(dialogs->messages.size(), 1);
    QVERIFY2(dialogs->messages[0].contains(QFileInfo(reload).fileName()),
             qPrintable(dialogs->messages[0]));
    QCOMPARE(form->Label1->text(), QStringLiteral("1"));
    // The program goes on.
    QVERIFY(form->isVisible());
    QTest::mouseClick(form->cmdNext, Qt::LeftButton);
    QTest::mouseClick(form->cmdNext, Qt::LeftButton);
    QCOMPARE(form->lblFortune->text(), QStringLiteral("kept\r\n"));
}

void TestForm1::screenshot()
{
    auto [form, dialogs] = start(write(
        "shot.txt",
        fortunesFile({"The best way to predict the future is to invent it.\r\n    -- a programmer",
                      "second"})));
    const QString file = QStringLiteral(SCREENSHOT_DIR "/form1.png");
    QVERIFY(form->grab().save(file));
    QVERIFY(QFileInfo(file).size() > 0);
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
