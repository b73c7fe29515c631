#include "cursor.h"
#include "fortunelist.h"
#include "textdecoding.h"

#include <QTest>


using namespace fortune;
using Texts = QList<QByteArray>;

namespace {

// The slow, obvious search: decode each fortune as shown, fold, look.
std::vector<qsizetype> referenceHits(const FortuneList &list, const QString &term)
{
    std::vector<qsizetype> hits;
    for (qsizetype i = 0; i < list.count(); ++i) {
        const QString text = list.textAt(i).toCaseFolded();
        if (term.isEmpty() ? !text.isEmpty() : text.contains(term.toCaseFolded()))
            hits.push_back(i);
    }
    return hits;
}

} // namespace

class TestFortuneList : public QObject {
    Q_OBJECT

private slots:
    // A fortune is shown as UTF-8 when it is valid UTF-8, otherwise as Windows-1252.
    void shown_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("shown");
        QTest::newRow("UTF-8") << QByteArray("Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80")
                               << QString::fromUtf8("Grüße € 😀");
        QTest::newRow("Windows-1252") << QByteArray("Gr\xfc\xdf" "e \x80\x9f\x85") << QString::fromUtf8("Grüße €Ÿ…");
        QTest::newRow("undefined 0x81") << QByteArray("a\x81") << QStringLiteral("a\u0081");
        QTest::newRow("overlong NUL") << QByteArray("\xc0\x80") << QString::fromUtf8("À€");
        QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << QString::fromUtf8("í\u00a0€");
        // Sequences placed around the 16-byte blocks of the vector check.
        const QByteArray a15(15, 'a'), b20(20, 'b'), uu = QByteArray("\xc3\xbc").repeated(9);
        for (const QByteArray &v : {a15 + "\xc3\xbc" + b20, uu + "\xe2\x82\xac" + uu, a15 + "a" + uu,
                                    uu + "\xf0\x9f\x98\x80" + a15})
            QTest::addRow("valid %s", v.toHex().constData()) << v << QString::fromUtf8(v);
        for (const QByteArray &v : {a15 + "\xc3" + b20, a15 + "a\xbc" + b20, a15 + "\xc3\xc3\xbc" + b20,
                                    uu + "\xc3", a15 + "a" + uu + "\xc3"})
            QTest::addRow("invalid %s", v.toHex().constData()) << v << QString::fromLatin1(v);
    }

    void shown()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, shown);
        FortuneList list;
        list.store(bytes);
        QCOMPARE(list.textAt(0), shown);
    }

    void search_data()
    {
        QTest::addColumn<Texts>("fortunes");
        QTest::addColumn<QString>("term");
        QTest::addColumn<qsizetype>("hits");
        const Texts german{"\xc3\x84RGER im B\xc3\xbcro\r\n", "kein \xc3\xa4rger\r\n", "nichts\r\n"};
        QTest::newRow("non-ASCII case") << german << QString::fromUtf8("ärger") << qsizetype(2);
        QTest::newRow("upper-case term") << german << QString::fromUtf8("ÄRGER") << qsizetype(2);
        QTest::newRow("first fortune counts, A to Z fold") << Texts{"a quiz\r\n", "x\r\n"} << "A QUIZ" << qsizetype(1);
        QTest::newRow("empty term counts non-empty") << Texts{"a", "", "", "b"} << "" << qsizetype(2);
        QTest::newRow("several times counts once") << Texts{"aaaa aaaa\r\n"} << "aa" << qsizetype(1);
        QTest::newRow("not across fortunes") << Texts{"ab", "cd"} << "bc" << qsizetype(0);
        QTest::newRow("sigma forms") << Texts{"\xce\x9f\xce\x94\xce\x9f\xce\xa3", "\xce\xbf\xce\xb4\xce\xbf\xcf\x82"}
                                     << QString::fromUtf8("οδοσ") << qsizetype(2);
        QTest::newRow("Kelvin sign") << Texts{"100 \xe2\x84\xaa", "100 k"} << "100 K" << qsizetype(2);
        QTest::newRow("capital sharp s") << Texts{"STRA\xe1\xba\x9e" "E"} << QString::fromUtf8("straße") << qsizetype(1);
        QTest::newRow("Windows-1252 fortune as shown")
            << Texts{"\xc4RGER\r\n", "\xc3\x84rger\r\n"} << QString::fromUtf8("ärger") << qsizetype(2);
        QTest::newRow("a sequence cut between two fortunes")
            << Texts{"caf\xc3", "\xa9 x"} << QString::fromUtf8("ã") << qsizetype(1);
        QTest::newRow("term longer than all") << Texts{"short"} << "much longer term" << qsizetype(0);
        QTest::newRow("nothing stored") << Texts{} << "x" << qsizetype(0);
    }

    void search()
    {
        QFETCH(Texts, fortunes);
        QFETCH(QString, term);
        QFETCH(qsizetype, hits);
        FortuneList list;
        for (const QByteArray &fortune : fortunes)
            list.store(fortune);
        QCOMPARE(list.countContaining(term), hits);
    }

    // A store big enough for the vector scan and sampled byte statistics,
    // terms at every offset, checked against the obvious search.
    void searchAgreesWithPlainSearch()
    {
        const QList<QByteArray> words{"der", "Ärger", "ärgernis", "ÄRGERNIS", "été", "Straße", "über",
                                      "KELVIN", "k", "ſ", "x", "ΣΟΦΊΑ", "σοφία", "a", "e"};
        FortuneList list;
        quint32 seed = 7;
        const auto next = [&] { seed = seed * 1664525u + 1013904223u; return seed >> 8; };
        for (int r = 0; r < 6000; ++r) {
            QByteArray text;
            const int n = int(next() % 12);
            for (int w = 0; w < n; ++w)
                text += words[int(next() % words.size())] + (next() % 7 == 0 ? "\r\n" : " ");
            if (next() % 50 == 0)
                text += "\xe4rger \xc4RGERNIS"; // Windows-1252 fortune
            list.store(text);
        }
        const QStringList terms{QString::fromUtf8("ärgernis"), "e", "k", QString::fromUtf8("straße"),
                                QString::fromUtf8("σοφία"), "r x", "s", "ÄRGER\r\nD", "zzz",
                                QString::fromUtf8("\u212A")};
        for (const QString &term : terms) {
            const std::vector<qsizetype> hits = referenceHits(list, term);
            QCOMPARE(list.countContaining(term), qsizetype(hits.size()));
            QVERIFY(list.indexesContaining(term) == hits);
        }
    }

    void cursorWraps_data()
    {
        QTest::addColumn<qsizetype>("count");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QList<qsizetype>>("positions");
        using P = QList<qsizetype>;
        QTest::newRow("empty") << qsizetype(0) << ">><<" << P{0, 0, 0, 0};
        QTest::newRow("one") << qsizetype(1) << ">>><<<<" << P{1, 0, 1, 0, 1, 0, 1};
        QTest::newRow("three, around") << qsizetype(3) << ">>>><<<" << P{1, 2, 3, 0, 3, 2, 1};
        QTest::newRow("full table") << kSlotCount << "<<>" << P{kSlotCount, kSlotCount - 1, kSlotCount};
    }

    void cursorWraps()
    {
        QFETCH(qsizetype, count);
        QFETCH(QString, steps);
        QFETCH(QList<qsizetype>, positions);
        Cursor cursor;
        QList<qsizetype> seen;
        for (const QChar step : steps)
            seen.append(step == u'>' ? cursor.next(count) : cursor.previous(count));
        QCOMPARE(seen, positions);
        QCOMPARE(cursor.position(), positions.last());
    }
};

QTEST_GUILESS_MAIN(TestFortuneList)
#include "tst_fortunelist.moc"
