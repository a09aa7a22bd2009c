// The quality-control dialog shows what the laboratory holds and sends the
// technologist's action and review; what may be done is the laboratory's.
#include "DemoLab.h"
#include "Presenter.h"
#include "ScriptedPresenter.h"
#include "frmQcReview.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

class TstQcReview : public QObject {
    Q_OBJECT
private slots:
    void theHoldIsActedOnAndReviewed()
    {
        DemoLab lab;
        ScriptedPresenter presenter;
        Presenter::install(&presenter);
        lab.conn.execute("Lab_FormMaker_SaveResultWithNormalValues2 'L-1013', 'GLU', '5.5', '', "
                         "'', '', '', '', '', '', '', '', '', '', '1', 'A-1013', '', "
                         "'3/7/2024 8:00:00 AM', '3/7/2024 7:45:00 AM', '', 'MT02', 'N', "
                         "'AN-01', '3/7/2024 9:55:00 AM'");
        lab.conn.execute("Lab_RecordResultEntry 'L-1013', 'GLU', 'MT02', 'I', 'AN-01', '103', "
                         "'WS-1'");
        frmQcReview d(lab.conn, "L-1013", "MT01");
        const auto rows = [&] {
            QStringList out;
            for (int i = 0; i < d.lstHeld->count(); ++i)
                out << d.lstHeld->item(i)->text();
            return out;
        };
        QCOMPARE(rows(), QStringList{"GLU: QC rejected 9:40 AM: 2-2s, level 2"});
        // Held: the review is refused, as the laboratory says.
        d.cmdConfirm->click();
        QVERIFY(presenter.messageTexts().value(0).contains("is held by quality control"));
        lab.conn.execute("sp_QCResultAdd 'AN-01', 'GLU', 'QC-GLU-1', '5.00', "
                         "'3/7/2024 10:30:00 AM', 'MT01'");
        lab.conn.execute("sp_QCResultAdd 'AN-01', 'GLU', 'QC-GLU-2', '15.00', "
                         "'3/7/2024 10:31:00 AM', 'MT01'");
        d.txtAction->setText("recalibrated");
        d.cmdAction->click();
        QCOMPARE(rows(), QStringList{"GLU: QC rejected 9:40 AM: 2-2s, level 2 (released: review "
                                     "and confirm)"});
        d.cmdConfirm->click();
        QCOMPARE(rows(), QStringList());
        QCOMPARE(presenter.messageTexts().size(), 1);
        Presenter::install(nullptr);
    }
};

QTEST_MAIN(TstQcReview)
#include "tst_qc_review.moc"
