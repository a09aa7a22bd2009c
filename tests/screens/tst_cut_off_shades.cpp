#include "InterpretationShade.h"
#include "Screenshot.h"
#include "WindowFixture.h"

namespace {
using F = WindowFixture;
using Shade = InterpretationShade;

struct CutOff : WindowFixture::CutOffWithoutReport {
    using frmDownloaded::isReChecked;
};

// A letter a row: R reactive, E equivocal, N non-reactive, - unshaded.
QString shadesOf(const FlexGrid* g, int col = 4)
{
    QString letters;
    for (int r = 1; r < g->Rows(); ++r) {
        const QTableWidgetItem* cell = g->item(r - 1, col);
        char letter = '-';
        for (auto [kind, l] :
             {std::pair{Shade::Reactive, 'R'}, {Shade::Equivocal, 'E'}, {Shade::NonReactive, 'N'}})
            if (cell && cell->background().color() == Shade::background(kind) &&
                cell->foreground().color() == Shade::textColor(kind))
                letter = l;
        letters += QLatin1Char(letter);
    }
    return letters;
}
} // namespace

// The interpretation cells of the cut-off window are shaded by what they
// say, whatever brought the word there, and the shade changes nothing else.
class TstCutOffShades : public QObject {
    Q_OBJECT
private slots:
    void init() { f.setUp(&m_factory); }
    void cleanup() { f.tearDown(); }

    void labelWordsAreWholeWordsInAnyCase()
    {
        const std::pair<const char*, Shade::Kind> cases[] = {
            {"reactive", Shade::Reactive},
            {"Weakly Positive (repeat)", Shade::Reactive},
            {"NON-REACTIVE", Shade::NonReactive},
            {"Non Reactive", Shade::NonReactive},
            {" NEGATIVE ", Shade::NonReactive},
            {"Equivocal", Shade::Equivocal},
            {"POSITIVELY", Shade::None},
            {"PRE-REACTIVE", Shade::None},
            {"0.42", Shade::None}};
        for (const auto& [text, kind] : cases)
            QVERIFY2(Shade::of(QString::fromLatin1(text)) == kind, text);
    }

    // Saved results shaded on opening; typing a value clears the
    // interpretation and its shade; F6 marks the row apart from the shade;
    // the save hands every word over as shown.
    void savedResultsTypingReCheckAndSave()
    {
        f.entry->EditMode(true);
        f.open<CutOff>(QStringLiteral("L-1006"), [&](CutOff& w) {
            FlexGrid* g = w.msfgRequest;
            const QStringList words{"NON-REACTIVE", "EQUIVOCAL", "REACTIVE", "POSITIVE"};
            QCOMPARE(F::column(g, 4), words);
            QCOMPARE(shadesOf(g) + shadesOf(g, 3) + shadesOf(g, 0), "NERR--------");
            screenshot(w, QStringLiteral("cutoff-shades"));

            F::clickCell(g, 3);
            QTest::keyClick(w.txtResult, Qt::Key_F6);
            QVERIFY(w.isReChecked(3) && !w.isReChecked(2) && !w.isReChecked(1));
            QCOMPARE(shadesOf(g) + shadesOf(g, 0), "NERR----");
            QTest::keyClick(w.txtResult, Qt::Key_F6);
            QVERIFY(!w.isReChecked(3));

            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            const QStringList saves = f.db->trace().filter(QStringLiteral("Lab_SaveWithCutOff"));
            QCOMPARE(saves.size(), 4);
            for (int i = 0; i < saves.size(); ++i)
                QVERIFY2(saves[i].contains(QStringLiteral("', '%1', '").arg(words[i])),
                         qPrintable(saves[i]));

            F::clickCell(g, 2);
            QTest::keyClicks(w.txtResult, QStringLiteral("1.5"));
            QCOMPARE(g->TextMatrix(2, 4) + shadesOf(g), "N-RR");
        });
    }

    // The instrument's number replaces a word on the screen; Reset Result
    // brings the word back with its shade.
    void takeOverAndReset()
    {
        f.open<CutOff>(QStringLiteral("L-1001"), [&](CutOff& w) {
            FlexGrid* g = w.msfgRequest;
            g->setTextMatrix(1, 1, QStringLiteral("HBSAG"));
            g->setTextMatrix(1, 4, QStringLiteral("Reactive"));
            QCOMPARE(shadesOf(g), "R");
            F::useResult(w);
            QCOMPARE(F::column(g, 4).mid(0, 3), (QStringList{"0.42", "56.3", "2.1"}));
            QCOMPARE(shadesOf(g), "----");
            F::useResult(w);
            QCOMPARE(g->TextMatrix(1, 4) + shadesOf(g), "ReactiveR");
        });
    }

private:
    WindowFixture f;
    WindowFixture::WindowsOf<CutOff> m_factory;
};

QTEST_MAIN(TstCutOffShades)
#include "tst_cut_off_shades.moc"
