#include "Screenshot.h"
#include "Twips.h"
#include "WindowFixture.h"
#include "frmReportViewer.h"

namespace {
// A key as staff press it: to whatever has the focus.
void press(int key, Qt::KeyboardModifiers mods = {})
{
    QWidget* target = QApplication::focusWidget();
    QVERIFY(target);
    QTest::keyClick(target, Qt::Key(key), mods);
    if (mods & Qt::AltModifier)
        QTest::qWait(150); // a button's mnemonic clicks it a moment later
}

void type(const QString& text)
{
    QTest::keyClicks(QApplication::focusWidget(), text);
}

// Where Tab goes, from the focused control on, until it comes back.
QStringList tabRoute(int steps)
{
    QStringList route;
    for (int i = 0; i < steps; ++i) {
        route << QApplication::focusWidget()->objectName();
        press(Qt::Key_Tab);
    }
    return route;
}
} // namespace

// A bench technologist's day at the keyboard: a whole request without the
// mouse, and windows that grow, follow and remember.
class TstKeyboard : public QObject {
    Q_OBJECT
private slots:
    void init() { f.setUp(); }
    void cleanup() { f.tearDown(); }

    void wholeRequestWithoutTheMouse()
    {
        f.open<frmDownloaded>(QStringLiteral("L-1001"), [&](frmDownloaded& w) {
            QCOMPARE(QApplication::focusWidget(), w.txtSampleNum);
            for (int i = 0; i < 5; ++i)
                press(Qt::Key_Backtab);
            QCOMPARE(tabRoute(15),
                     (QStringList{"txtAccNum", "dtSubmitted", "dtSubmittedTime", "dtLRADate",
                                  "dtLRATime", "txtSampleNum", "cmdSearchSampleNum",
                                  "dtpResultDate", "msfgDLresult", "cmdResetResult", "txtResult",
                                  "txtRemarks", "cmdSave", "cmdPrint", "cmdClose"}));
            QVERIFY(f.presenter.messages().isEmpty());
            QCOMPARE(QApplication::focusWidget(), w.txtAccNum); // the sample's number
            press(Qt::Key_R, Qt::AltModifier);                  // Use Result >>
            QVERIFY(w.ResultTakenOver);
            press(Qt::Key_F, Qt::AltModifier); // into the results: every exam has a value
            QVERIFY(QApplication::focusWidget() == w.txtResult && w.msfgRequest->Row() == 1);
            press(Qt::Key_Down);
            type(QStringLiteral("0.50"));
            press(Qt::Key_Return);
            screenshot(w, QStringLiteral("keyboard-typed"));
            f.presenter.queueWindow([&](QWidget& viewer) {
                viewer.activateWindow();
                QTRY_COMPARE(QGuiApplication::focusWindow(), viewer.windowHandle());
                press(Qt::Key_V, Qt::AltModifier); // Verify/Save
            });
            press(Qt::Key_V, Qt::AltModifier); // View Result saves, then previews
            QVERIFY(!w.isVisible());
        });
        for (const char* column : {"PatientValue", "VerifiedBy"})
            QCOMPARE(f.stored(QLatin1String(column), QStringLiteral("L-1001"),
                              QStringLiteral("ANTIHBS")),
                     QLatin1String(*column == 'P' ? "0.50" : "MT-07"));
        QVERIFY(f.presenter.messages().isEmpty());
    }

    void windowsGrowFollowAndRemember()
    {
        int dragged = 0;
        f.entry->EditMode(true);
        const auto open = [&](const std::function<void(frmNVDownloads&)>& drive) {
            f.open<frmNVDownloads>(QStringLiteral("L-1016"), [&](frmNVDownloads& w) {
                drive(w);
                w.close();
            });
        };
        open([&](frmNVDownloads& w) {
            FlexGrid* g = w.msfgRequest;
            // What a cell shows: the factor to four digits, the rest as held.
            const auto shown = [g](int r, int c) {
                const auto* d = qobject_cast<QStyledItemDelegate*>(g->itemDelegateForColumn(c));
                return r > 0 && d ? d->displayText(g->TextMatrix(r, c), QLocale())
                                  : g->TextMatrix(r, c);
            };
            QCOMPARE(g->TextMatrix(2, 1) + ' ' + g->TextMatrix(2, 13) + ' ' + shown(2, 13),
                     QStringLiteral("CREA 0.011309658448314861 0.01131"));
            // Scrolled sideways, the editor stays over its cell or goes, the
            // exam's name stays at the left and the last column comes into view.
            WindowFixture::clickCell(g, 1);
            g->horizontalScrollBar()->setValue(g->horizontalScrollBar()->maximum());
            const QRect cell = g->visualRect(g->model()->index(0, 3));
            QVERIFY(!w.txtResult->isVisible() ||
                    w.txtResult->x() == g->x() + g->viewport()->x() + cell.x());
            const auto* frozen = g->findChild<QTableView*>(QStringLiteral("frozenColumns"));
            QVERIFY(frozen->isVisible() && frozen->x() <= g->viewport()->x());
            QCOMPARE(frozen->width(), g->columnWidth(2));
            QVERIFY(g->columnViewportPosition(14) + g->columnWidth(14) <= g->viewport()->width());

            // Factor and form type show, although the start-up sizing hid them.
            QVERIFY(!w.msfgRequest->isColumnHidden(13) && !w.msfgRequest->isColumnHidden(14));

            // At 1366 x 740 no caption or value is cut.
            w.resize(1366, 740);
            const QFontMetrics fm(w.msfgRequest->font());
            for (int c = 0; c < w.msfgRequest->Cols(); ++c)
                for (int r = 0; r < w.msfgRequest->Rows() && !w.msfgRequest->isColumnHidden(c); ++r)
                    QVERIFY2(fm.horizontalAdvance(shown(r, c)) < w.msfgRequest->columnWidth(c),
                             qPrintable(shown(r, c)));
            QCOMPARE(w.width() - w.cmdClose->x() - w.cmdClose->width(), Twips::toPx(180));
            screenshot(w, QStringLiteral("normal-values-grown"));
            // What the user leaves is where the window opens next time.
            w.resize(796, 600);
            w.msfgRequest->horizontalHeader()->resizeSection(2, 250);
            dragged = w.msfgRequest->ColWidth(2);
        });
        open([&](frmNVDownloads& w) {
            QCOMPARE(w.size(), QSize(796, 600));
            QCOMPARE(w.msfgRequest->ColWidth(2), dragged);
            QCOMPARE(w.msfgRequest->columnWidth(2), 250);
        });
    }

private:
    WindowFixture f;
};

QTEST_MAIN(TstKeyboard)
#include "tst_keyboard.moc"
