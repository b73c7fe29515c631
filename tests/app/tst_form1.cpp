// The window as a user meets it: loading, browsing, reload, search and downloads
// with their messages; any fortune, hostile, huge or right-to-left, shown whole and
// exactly; captions whole at any font and DPI; the keyboard.
#include "../download/fakesite.h"
#include "../testutil.h"
#include "extraction.h"
#include "form1.h"
#include "sitepage.h"
#include "fortunesite.h"
#include "savedsite.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QGroupBox>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPaintEngine>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <qdrawutil.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

// What a control shows: a label's text, or what assistive technology reads of a text view.
QString shownText(QWidget *control)
{
    if (auto *label = qobject_cast<QLabel *>(control))
        return label->text();
    QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(control)->textInterface();
    return text ? text->text(0, text->characterCount()) : QString();
}

// The one way to start the window: on these files, with recorded boxes, shown and loaded.
struct TestWindow {
    std::unique_ptr<fortune::Form1> form;
    RecordingDialogs *dialogs = new RecordingDialogs;

    explicit TestWindow(const QString &collection, const QString &reload = {},
                        const std::function<void(fortune::Form1 &)> &beforeShown = {})
        : form(std::make_unique<fortune::Form1>(collection, reload))
    {
        form->setDialogs(std::unique_ptr<fortune::Dialogs>(dialogs));
        if (beforeShown)
            beforeShown(*form);
        QSignalSpy loaded(form.get(), &fortune::Form1::loadFinished);
        form->Form_Load();
        if (!loaded.wait(30'000))
            qFatal("the window never finished loading");
    }
    template <typename T = QPushButton> T *find(const char *name) const { return form->findChild<T *>(QLatin1String(name)); }
    QString text(const char *control) const { return shownText(find<QWidget>(control)); }
    QStringList shown() const { return {text("Label1"), text("lblFNum"), text("lblFortune")}; }
    void click(const char *button) const { QTest::mouseClick(find(button), Qt::LeftButton); }
    bool pressChooseSite() const // its shortcut, the focus on another control than the button it is on
    {
        form->activateWindow();
        if (!QTest::qWaitForWindowActive(form.get()))
            return false;
        find<QWidget>("lblFortune")->setFocus();
        QTest::keyClick(find<QWidget>("lblFortune"), Qt::Key_L, Qt::ControlModifier);
        return true;
    }
    // Each input box it was shown, as the real one would be: on the screen, the text whole.
    bool boxesFit() const
    {
        for (qsizetype i = 0; i < dialogs->prompts.size(); ++i) {
            const auto box = fortune::WidgetDialogs::makeInputBox(form.get(), dialogs->prompts[i], dialogs->shownTexts[i]);
            box->show();
            if (box->screen()->availableGeometry().size().boundedTo(box->frameSize()) != box->frameSize())
                return false;
        }
        return true;
    }
};

// Remembers what each control it watches shows whenever it is painted (a text view's viewport stands for it).
struct PaintRecorder : QObject {
    QHash<QObject *, QStringList> texts;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *control = static_cast<QWidget *>(watched);
        if (auto *view = qobject_cast<QTextEdit *>(control->parentWidget()))
            control = view;
        if (event->type() == QEvent::Paint)
            texts[control] << shownText(control);
        return false;
    }
};

// A paint device that records the text drawn on it: where, and in which direction.
struct TextRecorder : QPaintDevice, QPaintEngine {
    const QWidget *control;
    QStringList texts;
    QList<QRectF> rects;
    bool rightToLeft = false;
    explicit TextRecorder(const QWidget *control) : QPaintEngine(AllFeatures), control(control) {}
    QPaintEngine *paintEngine() const override { return const_cast<TextRecorder *>(this); }
    int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth: return control->width();
        case PdmHeight: return control->height();
        case PdmDpiX: case PdmPhysicalDpiX: return control->logicalDpiX();
        case PdmDpiY: case PdmPhysicalDpiY: return control->logicalDpiY();
        case PdmDepth: return 32;
        case PdmDevicePixelRatioScaled: return int(devicePixelRatioFScale());
        default: return 1;
        }
    }
    bool begin(QPaintDevice *) override { return true; }
    bool end() override { return true; }
    Type type() const override { return User; }
    void updateState(const QPaintEngineState &) override {}
    void drawPixmap(const QRectF &, const QPixmap &, const QRectF &) override {}
    void drawPath(const QPainterPath &) override {}
    void drawPolygon(const QPointF *, int, PolygonDrawMode) override {}
    void drawTextItem(const QPointF &at, const QTextItem &item) override
    {
        texts << item.text();
        rects << painter()->worldTransform().mapRect(QRectF(at.x(), at.y() - item.ascent(), item.width(), item.ascent() + item.descent()));
        rightToLeft |= bool(item.renderFlags() & QTextItem::RightToLeft);
    }
};

// A window system that never exposes a window (minimized, on another workspace).
struct NoExpose : QObject {
    NoExpose() { qApp->installEventFilter(this); }
    bool eventFilter(QObject *, QEvent *event) override { return event->type() == QEvent::Expose; }
};

struct Shown {
    const char *name;
    QByteArray stored;    // the record's lines as in the file
    QString whole = {};   // what the area reads back; empty: stored as UTF-8, with LF line breaks, less the last
    bool scrolls = false; // taller than the area
    bool cut = false;     // too large to lay out at once
    const char *ink = ""; // each line starts at the Left, or ends short of the Right edge
};

QList<Shown> shownFortunes()
{
    QByteArray lines, manyLines, megabyte, astral = "a"; // an odd start: a cut may fall inside a character
    for (int i = 1; i <= 100'000; ++i)
        (i <= 150 ? lines : manyLines) += "Line " + QByteArray::number(i) + "\r\n";
    for (int i = 0; megabyte.size() < (1 << 20); ++i)
        megabyte += i % 7 ? "word" + QByteArray::number(i % 1000) + ' ' : QByteArray("<b>bold</b> ");
    while (astral.size() < 200 * 1024)
        astral += "\xf0\x9f\x98\x80"; // U+1F600, two UTF-16 units
    return {
        {"markup", "<b>x</b> <img src=http://127.0.0.1:1/x.png> &amp; &#65;\r\n<a href=\"file:///etc/passwd\">a</a>\r\n"},
        {"control characters", QByteArray("nul") + '\0' + "\x07\x1b[31m\xc2\xa0\tcr\rff\f\xc2\x85 \xe2\x80\xae" "exe.txt\xe2\x80\xa8.\r\n",
         u"nul\0\x07\x1b[31m\u00a0\tcr\nff\f\u0085 \u202eexe.txt\u2028."_s},
        {"tabs", "Name:\tValue\r\n\tindented\t\r\n"},
        {"a line in each direction",
         "\xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d <i>\xd9\x85\xd8\xb1\xd8\xad\xd8\xa8\xd8\xa7</i>\r\nHello\r\n", {}, false, false, "RL"},
        {"taller than the area", lines, {}, true, false, "LLL"},
        {"wider than the area", "https://example.org/" + QByteArray(2000, 'a') + "/end\r\n", {}, true, false, "LL"},
        {"one-megabyte line", megabyte + "MEGABYTE-END\r\n", {}, true, true},
        {"a hundred thousand lines", lines + manyLines, {}, true, true},
        {"astral characters", astral + "\r\n", {}, true, true},
    };
}

} // namespace

class TestForm1 : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<TestWindow> m_shown; // holds every fortune of shownFortunes()

    QString write(const char *name, const QByteArray &data)
    {
        return testutil::writeFile(m_dir.filePath(QLatin1String(name)), data) ? m_dir.filePath(QLatin1String(name)) : QString();
    }

private slots:
    void initTestCase()
    {
        QByteArray data;
        for (const Shown &shown : shownFortunes())
            data += shown.stored + testutil::kSep + "\r\n";
        m_shown = std::make_unique<TestWindow>(write("shown.txt", data));
        QCOMPARE(m_shown->dialogs->messages, QStringList());
    }

    // The window's starting captions show first, then the count rises while the file loads.
    void countRisesWhileLoading()
    {
        QByteArray data; // many progress intervals long, two records more than the list holds
        for (int i = 0; i < fortune::kSlotCount + 2; ++i)
            data += "Fortune " + QByteArray::number(i) + "\r\n" + testutil::kSep + "\r\n";
        PaintRecorder painted;
        TestWindow w(write("big.txt", data), {}, [&](fortune::Form1 &form) {
            for (QLabel *label : form.findChildren<QLabel *>())
                label->installEventFilter(&painted);
            form.findChild<QTextEdit *>(u"lblFortune"_s)->viewport()->installEventFilter(&painted);
        });
        const QStringList counts = painted.texts[w.find<QLabel>("Label1")];
        QCOMPARE(painted.texts[w.find<QWidget>("lblFortune")].value(0) + counts.value(0), u"Fortune Goes Here...0"_s);
        // A full list stops the load with the loader's message; what was stored stays.
        const QString full = QString::number(fortune::kSlotCount);
        QCOMPARE(w.shown() << QString::number(w.dialogs->messages.size()), QStringList({full, u"0"_s, u"Fortune 0"_s, u"1"_s}));
        // Counts painted while the file was read: rising, and not a repaint per record.
        qlonglong last = 0, between = 0;
        for (const QString &count : counts) {
            QVERIFY(count.toLongLong() >= last);
            between += count.toLongLong() > std::exchange(last, count.toLongLong()) && count != full;
        }
        QVERIFY2(between > 0 && counts.size() < 10000, qPrintable(counts.join(' ')));
        // A search over them all is answered from the event loop, once counted
        // (a term each holds: far more than a slice's work).
        w.dialogs->answers = {u"fortune"_s};
        w.click("Command7");
        QCOMPARE(w.dialogs->messages.size(), 1);
        QTRY_COMPARE(w.dialogs->messages.value(1), full + u" fortunes contain 'fortune'."_s);
    }

    // While a file loads, ">>" moves through what is loaded so far, "Reload"
    // waits for it to end, and a download's stores wait for the loads: a
    // download started during the load at start, and one running when
    // "Reload" is clicked twice, store after all loaded fortunes, in the list
    // as in the file.
    void clicksDuringALoad()
    {
        QByteArray data, reload;
        for (int i = 0; i < 300'000; ++i)
            data += "Fortune " + QByteArray::number(i) + "\r\n" + testutil::kSep + "\r\n";
        for (int i = 0; i < 300'000; ++i)
            reload += "Reloaded " + QByteArray::number(i) + "\r\n" + testutil::kSep + "\r\n";
        FakeSite site;
        QList<Reply> replies;
        for (int i = 0; i < 1000; ++i)
            replies << Reply{{fortune::site::okResponse(fortune::site::fortunePage("downloaded " + QByteArray::number(i) + "\r\n"), true)}};
        site.setReplies(replies);
        struct Painted : QObject {
            std::function<void()> act;
            bool eventFilter(QObject *, QEvent *event) override
            {
                if (event->type() == QEvent::Paint && act)
                    std::exchange(act, {})();
                return false;
            }
        } painted;
        QStringList during;
        std::function<void()> clickAway; // once the count has risen, but not to its end
        TestWindow w(write("during.txt", data), write("reload-during.txt", reload), [&](fortune::Form1 &form) {
            form.setSite({u"127.0.0.1"_s, site.port()});
            auto *count = form.findChild<QLabel *>(u"Label1"_s);
            count->installEventFilter(&painted);
            clickAway = [&, f = &form, count] {
                if (count->text() == "0"_L1) {
                    painted.act = clickAway;
                    return;
                }
                f->findChild<QPushButton *>(u"cmdNext"_s)->click();
                during << count->text() << f->findChild<QLabel *>(u"lblFNum"_s)->text()
                       << shownText(f->findChild<QWidget *>(u"lblFortune"_s));
                f->findChild<QPushButton *>(u"Command3"_s)->click();
            };
            painted.act = clickAway;
        });
        QCOMPARE(during.mid(1), QStringList({u"1"_s, u"Fortune 1"_s}));
        QVERIFY2(during.value(0).toInt() < 300'000, qPrintable(during.join(' ')));
        QVERIFY(QTest::qWaitFor([&] { return w.text("Label1").toInt() >= 300'002; }, 20'000));
        const int before = w.text("Label1").toInt() - 300'000; // stored before "Reload"
        QSignalSpy loaded(w.form.get(), &fortune::Form1::loadFinished);
        w.click("Command4");
        w.click("Command4");
        QVERIFY2(QTest::qWaitFor([&] { return loaded.size() == 2; }, 20'000), qPrintable(QString::number(loaded.size())));
        QVERIFY(QTest::qWaitFor([&] { return w.text("Label1").toInt() >= 900'000 + before + 2; }, 20'000));
        w.click("Command6");
        const int downloaded = w.text("Label1").toInt() - 900'000;
        QCOMPARE(w.shown().mid(1), QStringList({u"1"_s, u"Fortune 0"_s})); // shown by the loads' ends
        QStringList last; // back through 0 and the empty slot to the last ones
        for (int i = 0; i < downloaded - before + 3; ++i)
            w.click("cmdPrev"), last << w.text("lblFortune");
        QStringList expected{u"Fortune 0"_s, QString()};
        for (int i = downloaded - 1; i >= before; --i)
            expected << u"downloaded %1"_s.arg(i);
        QCOMPARE(last, expected << u"Reloaded 299999"_s);
        QByteArray stored = data;
        for (int i = 0; i < downloaded; ++i)
            stored += "downloaded " + QByteArray::number(i) + "\r\n" + testutil::kSep + "\r\n";
        QVERIFY(testutil::readFile(w.form->collectionPath()) == stored);
        QCOMPARE(w.dialogs->messages, QStringList());
    }

    void loadsWithoutBeingExposed()
    {
        NoExpose hidden;
        QCOMPARE(TestWindow(write("one.txt", testutil::fortunesFile({"one"}))).text("Label1"), u"1"_s);
    }

    void browsingAndReload_data()
    {
        QTest::addColumn<QString>("reload");
        // Count, cursor and fortune after "Reload", the fortune after ">>", and how many messages.
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<QString>("said"); // in the one message, if any
        QTest::newRow("the same file") << u"abc.txt"_s << QStringList{u"6"_s, u"2"_s, u"A"_s, u"A"_s, u"0"_s} << QString();
        QTest::newRow("missing") << u"missing.txt"_s << QStringList{u"3"_s, u"2"_s, u"C"_s, {}, u"1"_s} << u"missing.txt"_s;
        QTest::newRow("folder") << u"folder"_s << QStringList{u"3"_s, u"2"_s, u"C"_s, {}, u"1"_s} << u"folder"_s;
    }
    void browsingAndReload()
    {
        QFETCH(QString, reload);
        QFETCH(QStringList, after);
        QFETCH(QString, said);
        QVERIFY(QDir(m_dir.path()).mkpath(u"folder"_s));
        TestWindow w(write("abc.txt", testutil::fortunesFile({"A", "B", "C"})), m_dir.filePath(reload));
        const char *const steps[][3] = {{"cmdNext", "1", "B"}, {"cmdPrev", "0", "A"}, {"cmdPrev", "3", ""}, // both ends wrap
                                        {"cmdNext", "0", "A"}, {"cmdPrev", "3", ""},  {"cmdPrev", "2", "C"}};
        for (const auto &[button, cursor, fortune] : steps) {
            w.click(button);
            QCOMPARE(w.shown(), QStringList({u"3"_s, cursor, fortune}));
        }
        // "Reload" adds after what is there, shows the first fortune and leaves the cursor; a failure
        // adds nothing and says why.
        w.click("Command4");
        QStringList seen = w.shown();
        w.click("cmdNext");
        QCOMPARE(seen << w.shown().last() << QString::number(w.dialogs->messages.size()), after);
        QVERIFY2(w.dialogs->messages.join(QString()).contains(said), qPrintable(w.dialogs->messages.join(QString())));
    }

    void startWithoutCollection_data()
    {
        QTest::addColumn<QString>("collection");
        QTest::addColumn<bool>("makeFolder");
        QTest::addColumn<QString>("problem"); // why the folder cannot be made
        QTest::newRow("first start") << u"absent/fortunes.txt"_s << false << QString();
        QTest::newRow("folder cannot be made") << u"file/sub/fortunes.txt"_s << true << u"not a directory"_s;
    }
    void startWithoutCollection()
    {
        QFETCH(QString, collection);
        QFETCH(bool, makeFolder);
        QFETCH(QString, problem);
        QTemporaryDir dir;
        QVERIFY(testutil::writeFile(dir.filePath(u"file"_s), "a file"));
        const QFileInfo file(dir.filePath(collection));
        TestWindow w(file.filePath(), {}, [&](fortune::Form1 &form) { form.setMakesCollectionFolder(makeFolder); });
        QCOMPARE(w.shown(), QStringList({u"0"_s, u"0"_s, QString()}));
        QCOMPARE(QFileInfo(file.path()).isDir(), makeFolder && problem.isEmpty());
        // Said once at start, naming the folder and why; a download says the same.
        if (!problem.isEmpty())
            w.click("Command3");
        const QStringList said = w.dialogs->messages;
        QVERIFY2(problem.isEmpty() ? said.isEmpty()
                                   : said.size() == 2 && said[0] == said[1] && said[0].contains(problem)
                                         && said[0].contains(QDir::toNativeSeparators(file.path())),
                 qPrintable(said.join('\n')));
    }

    void search_data()
    {
        QTest::addColumn<std::optional<QString>>("answer");
        QTest::addColumn<QStringList>("said");
        QTest::newRow("cancel") << std::optional<QString>() << QStringList();
        QTest::newRow("any case, first fortune too") << std::optional(u"cAt"_s) << QStringList{u"2 fortunes contain 'cAt'."_s};
        QTest::newRow("markup stays text") << std::optional(u"<b>"_s) << QStringList{u"1 fortunes contain '<b>'."_s};
        // The longest the input box takes, far wider than the screen: shown as typed, wrapped.
        QTest::newRow("longest term") << std::optional(QString(32767, u'x')) << QStringList{u"0 fortunes contain '%1'."_s.arg(QString(32767, u'x'))};
    }
    void search()
    {
        QFETCH(std::optional<QString>, answer);
        QFETCH(QStringList, said);
        TestWindow w(write("search.txt", testutil::fortunesFile({"Cat", "concatenate", "dog", "a <b>bold</b> dog"})));
        w.click("cmdNext");
        w.dialogs->answers = {answer};
        w.click("Command7");
        QCOMPARE(w.dialogs->messages, said);
        QCOMPARE(w.shown(), QStringList({u"4"_s, u"1"_s, u"concatenate"_s})); // search changes nothing on show
        for (const QString &message : std::as_const(said)) { // the box that shows it: text, the program's title
            const auto box = fortune::WidgetDialogs::makeMessageBox(w.form.get(), message);
            QCOMPARE(QStringList({box->text(), box->windowTitle()}), QStringList({message, u"Fortune Collector"_s}));
            QCOMPARE(box->textFormat(), Qt::PlainText);
            // On the screen, and what shows the message shows it whole and reads it back exactly.
            box->show();
            QVERIFY(box->screen()->availableGeometry().size().boundedTo(box->frameSize()) == box->frameSize());
            QStringList read;
            for (QWidget *shower : box->findChildren<QWidget *>()) {
                auto *label = qobject_cast<QLabel *>(shower);
                if (shower->isVisible() && (!label || label->minimumSizeHint().width() <= label->width()))
                    read << shownText(shower);
            }
            QVERIFY(read.contains(message));
        }
    }

    // At the window's own sizes, scaled by the logical DPI, every caption is drawn whole, left to right, in
    // whatever font is in effect; a 192-DPI row runs in a process of its own.
    void captionsFit_data()
    {
        QTest::addColumn<QString>("styleSheet");
        QTest::addColumn<int>("dpi");
        QTest::addColumn<Qt::LayoutDirection>("direction");
        QTest::newRow("the window's font") << QString() << 96 << Qt::LeftToRight;
        QTest::newRow("12-point style sheet") << u"QWidget { font-size: 12pt; }"_s << 96 << Qt::LeftToRight;
        QTest::newRow("192 DPI without scaling") << QString() << 192 << Qt::LeftToRight;
        QTest::newRow("right to left") << QString() << 96 << Qt::RightToLeft;
    }
    void captionsFit()
    {
        QFETCH(QString, styleSheet);
        QFETCH(int, dpi);
        QFETCH(Qt::LayoutDirection, direction);
        if (dpi != qApp->primaryScreen()->logicalDotsPerInch()) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(u"QT_ENABLE_HIGHDPI_SCALING"_s, u"0"_s);
            env.insert(u"QT_FONT_DPI"_s, QString::number(dpi));
            const testutil::Ran ran = testutil::run(QCoreApplication::applicationFilePath(),
                                                    {u"captionsFit:"_s + QLatin1String(QTest::currentDataTag())}, env);
            QVERIFY2(ran.code == 0, ran.out + ran.err);
            return;
        }
        qApp->setStyleSheet(styleSheet);
        qApp->setLayoutDirection(direction);
        const auto restore = qScopeGuard([] { qApp->setStyleSheet({}), qApp->setLayoutDirection(Qt::LeftToRight); });
        const auto open = [&] { // on a fortune with a scroll bar, which must stay on the right
            return std::make_unique<TestWindow>(write("captions.txt", QByteArray("A fortune\r\n").repeated(30) + testutil::kSep + "\r\n"));
        };
        const auto window = open();
        const TestWindow &w = *window;
        QCOMPARE(w.form->size(), QSize(8370, 5535) * dpi / 1440); // 558 by 369 at 96 DPI
        for (QWidget *control : w.form->findChildren<QWidget *>()) {
            const auto *frame = qobject_cast<QGroupBox *>(control);
            const auto *button = qobject_cast<QPushButton *>(control);
            const QString caption = frame ? frame->title() : button ? button->text() : shownText(control);
            if (!control->isVisible() || !(frame || button || qobject_cast<QLabel *>(control)))
                continue;
            TextRecorder drawn(control);
            control->render(&drawn, {}, {}, QWidget::DrawWindowBackground);
            QCOMPARE(drawn.texts.join(QString()), caption);
            QVERIFY2(!drawn.rightToLeft, qPrintable(caption));
            for (const QRectF &rect : std::as_const(drawn.rects))
                QVERIFY2(QRectF(control->rect()).adjusted(-0.5, -0.5, 0.5, 0.5).contains(rect), qPrintable(caption));
            if (frame && styleSheet.isEmpty()) { // etched as Qt's own shade rectangle, below the caption
                const QImage image = control->grab().toImage();
                QImage shaded = image;
                QPainter painter(&shaded);
                const int half = control->fontMetrics().height() / 2;
                qDrawShadeRect(&painter, control->rect().adjusted(0, half, 0, 0), control->palette(), true, 1, 0);
                painter.end();
                const qreal ratio = image.devicePixelRatio();
                const QRect below = QTransform::fromScale(ratio, ratio).mapRect(QRect(0, 2 * half, control->width(), control->height() - 2 * half));
                QVERIFY(image.copy(below) == shaded.copy(below));
            }
        }
        QVERIFY(w.form->grab().save(QStringLiteral(SCREENSHOT_DIR "/form1-%1.png").arg(QTest::currentDataTag()).replace(u' ', u'-')));
        if (direction == Qt::RightToLeft) { // the window exactly as drawn left to right
            const QImage reversed = w.form->grab().toImage();
            qApp->setLayoutDirection(Qt::LeftToRight);
            QVERIFY(open()->form->grab().toImage() == reversed);
        }
    }

    // Tab walks the window's six buttons, nothing hidden, and assistive technology neither shows nor
    // offers to focus a hidden control. Enter clicks the focused button; the fortune scrolls and copies
    // from anywhere in the window.
    void keyboard()
    {
        const auto focusAfter = [&](QWidget *from, Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
            from->setFocus();
            QTest::keyClick(from, key, modifiers);
            return m_shown->form->focusWidget();
        };
        QStringList tabbed;
        for (QWidget *focus = m_shown->find("Command3"); tabbed.size() < 6;)
            tabbed << (focus = focusAfter(focus, Qt::Key_Tab))->objectName();
        QCOMPARE(tabbed, QStringList({u"cmdPrev"_s, u"cmdNext"_s, u"Command4"_s, u"Command6"_s, u"Command7"_s, u"Command3"_s}));
        QStringList reached;
        const std::function<void(QAccessibleInterface *)> walk = [&](QAccessibleInterface *node) {
            for (int i = 0; i < node->childCount(); ++i) {
                if (node->child(i)->object() && (!node->child(i)->state().invisible || node->child(i)->state().focusable))
                    reached << node->child(i)->object()->objectName();
                walk(node->child(i));
            }
        };
        walk(QAccessible::queryAccessibleInterface(m_shown->form.get()));
        for (const QString &hidden : {u"Command1"_s, u"Command2"_s, u"Command5"_s, u"Text1"_s})
            QVERIFY2(!reached.contains(hidden), qPrintable(hidden));

        for (const auto &[button, key, cursor] : {std::tuple("cmdNext", Qt::Key_Return, "1"),
                                                  std::tuple("cmdPrev", Qt::Key_Enter, "0")}) {
            focusAfter(m_shown->find(button), key, key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
            QCOMPARE(m_shown->text("lblFNum"), QLatin1String(cursor));
        }
        const int tall = 4; // shownFortunes()'s "taller than the area"
        while (m_shown->text("lblFNum") != QString::number(tall))
            m_shown->click("cmdNext");
        QScrollBar *bar = m_shown->find<QTextEdit>("lblFortune")->verticalScrollBar();
        QList<int> at;
        for (const auto &[key, modifiers] : {std::pair(Qt::Key_PageDown, Qt::NoModifier), std::pair(Qt::Key_End, Qt::ControlModifier),
                                             std::pair(Qt::Key_PageUp, Qt::NoModifier), std::pair(Qt::Key_Home, Qt::ControlModifier)}) {
            focusAfter(m_shown->find("cmdNext"), key, modifiers);
            at << bar->value();
        }
        QVERIFY2(at[0] > 0 && at[1] == bar->maximum() && at[0] < at[1] && at[2] < at[1] && at[3] == 0,
                 qPrintable(QStringList({QString::number(at[0]), QString::number(at[1]), QString::number(at[2]), QString::number(at[3])}).join(' ')));
        // Ctrl+C with nothing selected copies the whole fortune, as stored, with this platform's line ends.
        focusAfter(m_shown->find("Command4"), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromUtf8(shownFortunes()[tall].stored).replace("\r\n"_L1, "\n"_L1));
    }

    void display_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("whole");
        QTest::addColumn<QString>("stored"); // with LF line ends, as copied
        QTest::addColumn<bool>("scrolls");
        QTest::addColumn<bool>("cut");
        QTest::addColumn<QString>("ink");
        const QList<Shown> all = shownFortunes();
        for (int i = 0; i < all.size(); ++i) {
            const QString stored = QString::fromUtf8(all[i].stored).replace("\r\n"_L1, "\n"_L1);
            QTest::newRow(all[i].name) << i << (all[i].whole.isEmpty() ? stored.chopped(1) : all[i].whole) << stored
                                       << all[i].scrolls << all[i].cut << QString::fromLatin1(all[i].ink);
        }
    }
    void display()
    {
        QFETCH(int, index);
        QFETCH(QString, whole);
        QFETCH(QString, stored);
        QFETCH(bool, scrolls);
        QFETCH(bool, cut);
        QFETCH(QString, ink);
        // Bounded: a load that lost fortunes must fail here, not cycle for ever.
        for (int clicks = 0; clicks <= 2 * index + 20 && m_shown->text("lblFNum") != QString::number(index); ++clicks)
            m_shown->click("cmdNext");
        QCOMPARE(m_shown->text("lblFNum"), QString::number(index));
        auto *view = m_shown->find<QTextEdit>("lblFortune");
        // Read back exactly as stored; one too large to lay out at once shows its start and says how large it is.
        const QString text = m_shown->text("lblFortune");
        if (cut) {
            const QString first = text.left(text.lastIndexOf(u'\n')), note = text.mid(first.size() + 1);
            QVERIFY2(first.size() >= 8 * 1024 && whole.startsWith(first) && !first.back().isHighSurrogate(), qPrintable(first.right(20)));
            QVERIFY2(note.contains("cut"_L1) && note.contains(QLocale().toString(whole.size())), qPrintable(note));
        } else {
            QCOMPARE(text, whole);
        }
        // A scroll bar only for a fortune taller than the area; lines wrap, so never one across.
        (void)QTest::qWaitFor([&] { return view->verticalScrollBar()->isVisible() == scrolls; }, 2000);
        QCOMPARE(view->verticalScrollBar()->isVisible(), scrolls);
        QVERIFY(!view->horizontalScrollBar()->isVisible());
        // Each line on the side its direction puts it, whole.
        const QImage image = view->viewport()->grab().toImage();
        const int height = view->fontMetrics().lineSpacing();
        for (int i = 0; i < ink.size(); ++i) {
            int left = image.width(), right = -1;
            for (int y = i * height; y < (i + 1) * height; ++y)
                for (int x = 0; x < image.width(); ++x)
                    if (qGray(image.pixel(x, y)) < 128)
                        left = std::min(left, x), right = std::max(right, x);
            QVERIFY2(ink[i] == u'L' ? left < 8 : left > image.width() / 2 && right < image.width() - 1,
                     qPrintable(u"line %1: ink from %2 to %3"_s.arg(i).arg(left).arg(right)));
        }
        // Copied as stored: a selection made with the mouse, all of it by the menu's Copy, and with nothing
        // selected the whole fortune.
        QTest::mousePress(view->viewport(), Qt::LeftButton, {}, QPoint(1, 5));
        QTest::mouseMove(view->viewport(), QPoint(view->viewport()->width() - 1, 5));
        QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, QPoint(view->viewport()->width() - 1, 5));
        QStringList copied;
        for (const auto copy : {+[](QTextEdit *v) { QTest::keyClick(v, Qt::Key_C, Qt::ControlModifier); },
                                +[](QTextEdit *v) { v->selectAll(), v->copy(); },
                                +[](QTextEdit *v) { v->moveCursor(QTextCursor::Start), QTest::keyClick(v, Qt::Key_C, Qt::ControlModifier); }}) {
            copy(view);
            copied << QGuiApplication::clipboard()->text();
        }
        QVERIFY2(!copied[0].isEmpty() && stored.startsWith(copied[0]), qPrintable(copied[0]));
        QCOMPARE(copied[1], cut ? text : stored.chopped(1));
        QCOMPARE(copied[2], stored);
        const QString shot = QStringLiteral(SCREENSHOT_DIR "/form1-%1.png").arg(QTest::currentDataTag()).replace(u' ', u'-');
        QVERIFY(m_shown->form->grab().save(shot));
        if (scrolls) { // a cut fortune at its end, where the note is
            view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum() / (cut ? 1 : 2));
            QVERIFY(m_shown->form->grab().save(QString(shot).replace(".png"_L1, cut ? "-at-the-end.png"_L1 : "-scrolled-half-way.png"_L1)));
        }
    }

    // The hidden buttons against the test site: Command1 connects, Command2 sends the download's own page
    // request, Command5 rewrites the reload file and shows its overlapping-window cut of what came back.
    void hiddenButtons_data()
    {
        QTest::addColumn<QStringList>("clicks");
        QTest::addColumn<bool>("listens");
        QTest::addColumn<QStringList>("text1"); // what Text1 said, in order
        QTest::addColumn<QStringList>("said");  // %1 is the port
        QTest::newRow("Command5 on the start-up buffer") << QStringList{u"Command5"_s} << true << QStringList() << QStringList{QString()};
        QTest::newRow("Command1, Command2, Command5") << QStringList{u"Command1"_s, u"Command2"_s, u"Command5"_s} << true
            << QStringList{u"Connecting..."_s, u"Connected..."_s, QString()}
            << QStringList{u"ab<Bb<BR\r\ndefgefghfghighijhijkijkljklmklmnlmnomnopnopopp"_s};
        QTest::newRow("Command2 without a connection") << QStringList{u"Command2"_s} << true << QStringList{QString()}
            << QStringList{u"Could not send the page request: not connected to 127.0.0.1:%1."_s};
        QTest::newRow("Command1 refused") << QStringList{u"Command1"_s} << false << QStringList{u"Connecting..."_s}
            << QStringList{u"Could not connect to 127.0.0.1:%1: Connection refused."_s};
    }
    void hiddenButtons()
    {
        QFETCH(QStringList, clicks);
        QFETCH(bool, listens);
        QFETCH(QStringList, text1);
        QFETCH(QStringList, said);
        auto site = std::make_unique<FakeSite>(); // the answer in two pieces: all of it goes to the buffer
        const QByteArray answer = fortune::site::okResponse(fortune::site::pageWithHtml("ab<BR>cdefghijklmnop"), true);
        site->setReplies({Reply{{answer.first(200), answer.sliced(200)}, 20}});
        const quint16 port = site->port();
        if (!listens)
            site.reset();
        QStringList texts;
        TestWindow w(write("empty.txt", {}), write("reload.txt", "old\r\n"),
                     [&](fortune::Form1 &form) { form.setSite({u"127.0.0.1"_s, port}); });
        auto *box = w.find<QPlainTextEdit>("Text1");
        connect(box, &QPlainTextEdit::textChanged, box, [&] { texts << box->toPlainText(); });
        for (const QString &button : std::as_const(clicks)) {
            w.find(qPrintable(button))->click();
            if (button == "Command1"_L1) // until connected, or told why not
                QVERIFY(QTest::qWaitFor([&] { return texts.size() > 1 || !w.dialogs->messages.isEmpty(); }, 10'000));
            if (button == "Command2"_L1 && texts.contains("Connected..."_L1))
                QVERIFY(QTest::qWaitFor([&] { return w.form->download().receiveBuffer().endsWith("</html>\n"); }, 10'000));
        }
        QCOMPARE(texts, text1);
        for (QString &message : said)
            message.replace("%1"_L1, QString::number(port));
        QCOMPARE(w.dialogs->messages, said);
        QCOMPARE(testutil::readFile(w.form->reloadPath()), clicks.contains("Command5"_L1) ? testutil::kSep + "\r\n" : "old\r\n");
        if (!site || site->connections() == 0)
            return;
        // Byte for byte the request of a download, which comes on a connection of its own.
        QSignalSpy cycle(&w.form->download(), &fortune::DownloadLoop::cycleCompleted);
        w.click("Command3");
        QVERIFY(cycle.wait(10'000));
        w.click("Command6");
        QCOMPARE(site->connections(), 2);
        QCOMPARE(site->received(0), site->received(1));
        QVERIFY(site->received(0).contains("\r\nHost: www.127.0.0.1\r\n"));
    }

    // A download that cannot go on ends with one message naming the site, and
    // the window goes on; closing the window ends one quietly. One that failed
    // at the site (no connection, no answer) asks whether to choose another
    // site, and goes on at the one chosen.
    // Fortunes the file could not hold (a line of theirs is the separator) are
    // left out, the loop going on, and counted once each in that one message,
    // or in one of their own when the loop is stopped.
    void downloadEnds_data()
    {
        QTest::addColumn<QString>("end");      // refused, chosen (after refused), closed or stopped
        QTest::addColumn<int>("leftOut");      // fortunes with a separator line the site serves first, each twice
        QTest::addColumn<QStringList>("said"); // the one message holds these, in this order; %1 is the port
        const QStringList refused{u"Could not connect to 127.0.0.1:%1: "_s, u"Choose another site?"_s};
        QTest::newRow("the site refuses") << u"refused"_s << 0 << refused;
        QTest::newRow("the site refuses, another is chosen") << u"chosen"_s << 0 << refused;
        QTest::newRow("the window closes while the site is silent") << u"closed"_s << 0 << QStringList();
        QTest::newRow("the site never answers") << u"silent"_s << 0 << QStringList{u"No answer from 127.0.0.1:%1: "_s, refused[1]};
        QTest::newRow("fortunes left out, then the site refuses")
            << u"refused"_s << 2 << QStringList{refused[0], u".\n\n2 downloaded fortunes were left out: "_s, refused[1]};
        QTest::newRow("a fortune left out, then stopped") << u"stopped"_s << 1 << QStringList{u"1 downloaded fortune was left out: "_s};
    }
    void downloadEnds()
    {
        QFETCH(QString, end);
        QFETCH(int, leftOut);
        QFETCH(QStringList, said);
        const bool close = end == "closed"_L1, choose = end == "chosen"_L1, silent = end == "silent"_L1;
        QTcpServer site; // takes connections and never answers, or refuses them once closed
        QVERIFY(site.listen(QHostAddress::LocalHost));
        auto scripted = std::make_unique<FakeSite>(); // serves the fortunes that are left out
        int cycles = 0;
        QList<Reply> replies;
        for (int i = 0; i < leftOut; ++i)
            replies << Reply{{fortune::site::okResponse(fortune::site::pageWithHtml("Fortune " + QByteArray::number(i) + "<BR>" + testutil::kSep), true)}};
        scripted->setReplies(replies);
        const quint16 port = leftOut > 0 ? scripted->port() : site.serverPort();
        if (!close && !silent)
            site.close();
        fortune::site::ServedFortunes fortunes;
        QCOMPARE(fortunes.load({write("served.txt", testutil::fortunesFile({"From the chosen site"}))}), QString());
        fortune::site::FortuneSite chosen(fortunes);
        QVERIFY(chosen.listen(QHostAddress::LocalHost, 0));
        QTemporaryDir dir;
        const QString settings = dir.filePath(u"settings.conf"_s);
        const auto w = std::make_unique<TestWindow>(write("fortunes.txt", {}), QString(), [&](fortune::Form1 &form) {
            form.rememberSiteIn(settings);
            form.setSite({u"127.0.0.1"_s, port}), form.download().setTimeouts({5000ms, 2000ms, 4000ms});
        });
        w->dialogs->yes = {choose};
        w->dialogs->answers = {u"127.0.0.1:%1"_s.arg(chosen.port())};
        // After each two rounds of the scripted site, it goes away or the loop is stopped.
        connect(&w->form->download(), &fortune::DownloadLoop::cycleCompleted, &site, [&] {
            if (leftOut > 0 && ++cycles % (2 * leftOut) == 0)
                end == "stopped"_L1 ? w->click("Command6") : scripted.reset();
        });
        QSignalSpy connected(&site, &QTcpServer::newConnection);
        w->click("Command3");
        if (close && connected.wait(5000))
            w->form->close();
        if (choose) { // the chosen site's fortune comes in, and the site is remembered
            QVERIFY(QTest::qWaitFor([&] { return w->text("Label1") == "1"_L1; }, 10'000));
            w->click("Command6");
            QCOMPARE(testutil::recordsOf(w->form->collectionPath()), QList<QByteArray>{"From the chosen site\r\n"});
            QCOMPARE(fortune::readSavedSite(settings).text, w->dialogs->shownTexts.isEmpty() ? QString() : u"127.0.0.1:%1"_s.arg(chosen.port()));
        }
        QTRY_VERIFY(!w->form->download().isRunning());
        const QStringList messages = w->dialogs->messages;
        QStringList pieces;
        for (const QString &piece : std::as_const(said))
            pieces << QRegularExpression::escape(QString(piece).replace("%1"_L1, QString::number(port)));
        const QRegularExpression one(u'^' + pieces.join(".*"_L1), QRegularExpression::DotMatchesEverythingOption);
        QVERIFY2(said.isEmpty() ? messages.isEmpty() : messages.size() == 1 && one.match(messages[0]).hasMatch(),
                 qPrintable(messages.join('\n')));
        if (choose)
            return;
        QCOMPARE(w->text("Label1") + testutil::readFile(w->form->collectionPath()), u"0"_s);
        QVERIFY(!QFile::exists(settings));
        if (!close)
            w->click("Command3");
        QTRY_COMPARE(w->dialogs->messages.size(), close ? 0 : 2);
        // Each download counts its own: the site is gone, or serves the same fortune again.
        QCOMPARE(w->form->download().leftOut(), end == "stopped"_L1 ? leftOut : 0);
    }

    // A new user's way, by the window alone: fortune-site shares a collection, the window starts with no
    // settings; the first "Download Fortunes" asks for the site at once, saying why and where Ctrl+L and the
    // menu are (Cancel changes nothing), takes the address fortune-site printed, downloads, and remembers it.
    void newUserDownloads()
    {
        if (!fortune::defaultSiteSettings().placeholder)
            QSKIP("this build has a site of its own, which downloads go to at once");
        QProcess site;
        site.start(QStringLiteral(FORTUNE_SITE), {u"--port"_s, u"0"_s, u"--file"_s, write("shared.txt", testutil::fortunesFile({"One", "Two"}))});
        const auto stop = qScopeGuard([&] { site.kill(), site.waitForFinished(); });
        QVERIFY2(site.waitForReadyRead(20'000), site.readAllStandardError().constData());
        const QString url = QRegularExpression(u"http://\\S+"_s).match(QString::fromUtf8(site.readLine())).captured();
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
        const QString settings = fortune::userSettingsPath();
        qunsetenv("XDG_CONFIG_HOME");
        QCOMPARE(settings, config.filePath(u"fortune-collector/fortune-collector.conf"_s));
        TestWindow w(write("new-user.txt", {}), {}, [&](fortune::Form1 &form) { form.rememberSiteIn(settings); });
        QPushButton *download = w.find("Command3");
        for (const QString &hint : {download->toolTip(), download->accessibleDescription()})
            QVERIFY2(hint.contains("Ctrl+L"_L1) && hint.contains("\"Choose Site...\""_L1), qPrintable(hint));
        for (const std::optional<QString> &answer : {std::optional<QString>(), std::optional(url)}) {
            w.dialogs->answers = {answer};
            w.click("Command3");
            QCOMPARE(w.dialogs->prompts.size(), answer ? 2 : 1);
            QCOMPARE(w.form->download().isRunning(), bool(answer));
            QVERIFY(answer || (!QFile::exists(settings) && w.form->download().site().placeholder));
        }
        for (const QString &part : {u"No site is chosen yet"_s, u"fortune-site"_s, u"Ctrl+L"_s, u"\"Choose Site...\""_s})
            QVERIFY2(w.dialogs->prompts[0].contains(part), qPrintable(w.dialogs->prompts[0]));
        QVERIFY(w.boxesFit());
        QVERIFY(QTest::qWaitFor([&] { return w.text("Label1") == "2"_L1; }, 20'000));
        w.click("Command6");
        QCOMPARE(w.dialogs->messages, QStringList());
        QCOMPARE(testutil::readFile(settings), "[General]\nsite=" + url.section(u'/', 2, 2).toUtf8() + '\n');
    }

    // The count rises with each stored fortune while the loop still runs,
    // not once it ends; "Stop It Already!!!!" keeps what was stored.
    void countRisesWhileDownloading()
    {
        FakeSite site;
        site.setReplies({Reply{{fortune::site::okResponse(fortune::site::fortunePage("one\r\n"), true)}},
                         Reply{{fortune::site::okResponse(fortune::site::fortunePage("two\r\n"), true)}}});
        TestWindow w(write("download.txt", testutil::fortunesFile({"known"})), {}, [&](fortune::Form1 &form) {
            form.setSite({u"127.0.0.1"_s, site.port()});
        });
        QSignalSpy stored(&w.form->download(), &fortune::DownloadLoop::fortuneStored);
        w.click("Command3");
        for (const char *count : {"2", "3"}) {
            QVERIFY(stored.wait(10'000));
            QVERIFY(w.form->download().isRunning());
            QCOMPARE(w.text("Label1"), QLatin1String(count));
        }
        w.click("Command6");
        QVERIFY(!w.form->download().isRunning());
        QCOMPARE(w.text("Label1") + QString::number(w.dialogs->messages.size()), u"30"_s);
        QCOMPARE(testutil::readFile(w.form->collectionPath()), testutil::fortunesFile({"known", "one", "two"}));
    }


    // The site remembered in the settings file; one that cannot be used is
    // said once at start, naming the file, and the built-in site is used.
    void rememberedSite_data()
    {
        QTest::addColumn<QByteArray>("file"); // null: none
        QTest::addColumn<QString>("given");   // --site
        QTest::addColumn<QString>("site");    // empty: the built-in one
        QTest::addColumn<QString>("said");    // in the one message, if any
        QTest::newRow("none") << QByteArray() << QString() << QString() << QString();
        QTest::newRow("IPv6 and port") << QByteArray("[General]\nsite=[::1]:8081\n") << QString() << u"[::1]:8081"_s << QString();
        QTest::newRow("empty") << QByteArray("[General]\nsite=\n") << QString() << QString() << QString();
        QTest::newRow("port out of range") << QByteArray("[General]\nsite=h:99999\n") << QString() << QString() << u"\"99999\""_s;
        QTest::newRow("a list") << QByteArray("site=a,b\n") << QString() << QString() << u"\"a, b\" is not a host name"_s;
        QTest::newRow("not INI") << QByteArray("[[[\nsite=h\n") << QString() << QString() << u"line 1 (\"[[[\")"_s;
        QTest::newRow("a line without =") << QByteArray("[General]\nsite 127.0.0.1:8080\nx=y\n") << QString() << QString() << u"line 2 "_s;
        QTest::newRow("--site wins") << QByteArray("site=h:99999\n") << u"127.0.0.1:9"_s << u"127.0.0.1:9"_s << QString();
    }
    void rememberedSite()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, given);
        QFETCH(QString, site);
        QFETCH(QString, said);
        QTemporaryDir dir;
        const QString settings = dir.filePath(u"fortune-collector.conf"_s);
        QVERIFY(file.isNull() || testutil::writeFile(settings, file));
        TestWindow w(write("empty.txt", {}), {}, [&](fortune::Form1 &form) {
            form.rememberSiteIn(settings);
            if (!given.isEmpty())
                form.setSite(fortune::parseSite(given).site);
        });
        QCOMPARE(w.form->download().site().display(), site.isEmpty() ? fortune::defaultSiteSettings().display() : site);
        const QStringList messages = w.dialogs->messages;
        QVERIFY2(said.isEmpty() ? messages.isEmpty()
                                : messages.size() == 1 && messages[0].contains(said) && messages[0].contains(QDir::toNativeSeparators(settings)),
                 qPrintable(messages.join('\n')));
        if (said.isEmpty())
            return;
        // A site chosen then takes the bad value's place; a file that cannot be read is left as it is.
        w.dialogs->answers = {u"127.0.0.1:7"_s};
        QVERIFY(w.pressChooseSite());
        QCOMPARE(w.form->download().site().display(), u"127.0.0.1:7"_s);
        const bool written = !said.contains("line "_L1);
        QVERIFY(written ? fortune::readSavedSite(settings).text == "127.0.0.1:7"_L1 : testutil::readFile(settings) == file);
        QCOMPARE(w.dialogs->messages.size(), written ? 1 : 2);
    }

    // "Choose Site..." (Ctrl+L) shows the current site and takes what people paste; a site that cannot
    // be valid is refused in the box with the reason, the text as typed, and nothing is saved; an empty
    // box goes back to the built-in site. Every box fits on the screen.
    void chooseSite_data()
    {
        using Answers = QList<std::optional<QString>>;
        QTest::addColumn<QByteArray>("file"); // the settings file at start
        QTest::addColumn<Answers>("answers");
        QTest::addColumn<QString>("site");  // downloads go there; empty: unchanged
        QTest::addColumn<QString>("said");  // in the box asked again, or in a message
        const QByteArray saved = "[General]\nsite=127.0.0.1:7\n";
        const QString builtIn = fortune::defaultSiteSettings().display();
        QTest::newRow("cancelled") << saved << Answers{std::nullopt} << QString() << QString();
        QTest::newRow("chosen") << QByteArray() << Answers{u" 127.0.0.1:9 "_s} << u"127.0.0.1:9"_s << QString();
        QTest::newRow("as fortune-site prints it") << saved << Answers{u"http://127.0.0.1:9/fortune.shtml"_s} << u"127.0.0.1:9"_s << QString();
        QTest::newRow("another page's address") << saved << Answers{u"127.0.0.1:9/x.html"_s} << u"127.0.0.1:9"_s << u"not \"/x.html\""_s;
        QTest::newRow("international name") << saved << Answers{u"b\u00fccher.example"_s} << u"xn--bcher-kva.example:80"_s << QString();
        QTest::newRow("refused, then chosen") << QByteArray() << Answers{u"bad host"_s, u"[::1]:8080"_s} << u"[::1]:8080"_s
                                              << u"\"bad host\" is not a host name"_s;
        QTest::newRow("refused, then cancelled") << QByteArray() << Answers{u"h:0"_s, std::nullopt} << QString() << u"not \"0\""_s;
        QTest::newRow("not a host name") << saved << Answers{u".."_s, std::nullopt} << QString() << u"empty parts"_s;
        QTest::newRow("empty: the built-in site again") << saved << Answers{QString()} << builtIn << QString();
        for (const int size : {300, 3000})
            QTest::newRow(qPrintable(u"%1 characters"_s.arg(size))) << saved << Answers{QString(size, u'x'), std::nullopt} << QString()
                                                                   << u"x\u2026x"_s;
    }
    void chooseSite()
    {
        QFETCH(QByteArray, file);
        QFETCH(QList<std::optional<QString>>, answers);
        QFETCH(QString, site);
        QFETCH(QString, said);
        QTemporaryDir dir;
        const QString settings = dir.filePath(u"new/fortune-collector.conf"_s);
        QVERIFY(file.isNull() || (QDir().mkpath(dir.filePath(u"new"_s)) && testutil::writeFile(settings, file)));
        TestWindow w(write("empty.txt", {}), {}, [&](fortune::Form1 &form) { form.rememberSiteIn(settings); });
        const fortune::SiteSettings before = w.form->download().site();
        w.dialogs->answers = answers;
        QVERIFY(w.pressChooseSite());
        QCOMPARE(w.dialogs->shownTexts.value(0), before.placeholder ? QString() : before.display());
        QCOMPARE(w.dialogs->prompts.size(), answers.size());
        const QString told = w.dialogs->prompts.mid(1).join(u'\n') + w.dialogs->messages.join(u'\n');
        QVERIFY2(said.isEmpty() ? told.isEmpty() : told.contains(said), qPrintable(told));
        if (answers.size() > 1) // asked again with what was typed, whole
            QCOMPARE(w.dialogs->shownTexts[1], answers[0]->trimmed());
        QVERIFY(w.boxesFit());
        QCOMPARE(w.form->download().site().display(), site.isEmpty() ? before.display() : site);
        QCOMPARE(fortune::readSavedSite(settings).text,
                 site.isEmpty() ? QString::fromLatin1(file).section(u'=', 1).trimmed() : site == fortune::defaultSiteSettings().display() ? QString() : site);
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
