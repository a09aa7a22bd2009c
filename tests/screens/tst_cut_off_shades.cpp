#include "InterpretationShade.h"
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

    // Saved results shaded on opening; F6 marks a row apart from the shade;
    // typing a value shows the laboratory's reading of it, shaded, at once.
    void shadesFollowTheWords()
    {
        f.entry->EditMode(true);
        f.open<CutOff>(QStringLiteral("L-1006"), [&](CutOff& w) {
            FlexGrid* g = w.msfgRequest;
            QCOMPARE(F::column(g, 4),
                     (QStringList{"NON-REACTIVE", "EQUIVOCAL", "REACTIVE", "POSITIVE"}));
            QCOMPARE(shadesOf(g) + shadesOf(g, 3) + shadesOf(g, 0), "NERR--------");
            F::clickCell(g, 3);
            QTest::keyClick(w.txtResult, Qt::Key_F6);
            QVERIFY(w.isReChecked(3) && !w.isReChecked(2));
            QCOMPARE(shadesOf(g) + shadesOf(g, 0), "NERR----");
            F::clickCell(g, 2);
            QTest::keyClicks(w.txtResult, QStringLiteral("1.5"));
            QCOMPARE(g->TextMatrix(2, 4) + shadesOf(g), "REACTIVENRRR");
            w.close();
            f.presenter.queueAnswer(MsgAnswer::Yes); // discard
        });
    }

private:
    WindowFixture f;
    WindowFixture::WindowsOf<CutOff> m_factory;
};

QTEST_MAIN(TstCutOffShades)
#include "tst_cut_off_shades.moc"
