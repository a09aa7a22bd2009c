// Looking up an instrument sample and showing what the instrument
// downloaded for it.
#include "Clock.h"
#include "Connection.h"
#include "DateText.h"
#include "FlexGrid.h"
#include "Numeric.h"
#include "Presenter.h"
#include "ResultEntryForm.h"
#include "SavedResults.h"
#include "SqlText.h"
#include "modMain.h"

#include <QDateEdit>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

void ResultEntryForm::cmdSearchSampleNum_Click()
{
    lstREVIEW->clear();
    ResultTakenOver = false;
    layoutRequestGrid();
    if (dtpResultDate->date() > Clock::today()) {
        msgBox(QStringLiteral("Result date is invalid!\n\nPlease change the result date and try "
                              "again."),
               MsgIcon::Exclamation, QStringLiteral("Invalid Result Date"));
        return;
    }
    layoutDownloadedGrid();
    // A typed sample number is not looked up here.
    const QString typed = txtSampleNum->text().trimmed();
    if (!typed.isEmpty() && numeric(typed))
        return;

    txtSampleNum->setText(PickSampleNumber(QDateTime(dtpResultDate->date(), QTime(0, 0)),
                                           InstrumentId, InstrumentName, txtSampleNum->text()));
    const QString picked = txtSampleNum->text();
    const qsizetype bar = picked.indexOf(QLatin1Char('|'));
    if (bar >= 0) {
        txtSampleNum->setText(picked.left(bar));
        txtAccNum->setText(picked.left(bar));
        txtPName->setText(picked.mid(bar + 1));
    }

    if (txtSampleNum->text().trimmed().isEmpty()) {
        const MsgAnswer manual =
            msgBox(QStringLiteral("Sample not found.\nWould you like to manually enter the "
                                  "results."),
                   MsgIcon::Question, QStringLiteral("Message"), MsgButtons::YesNo, MsgAnswer::No);
        if (manual == MsgAnswer::Yes) {
            copyRequestedExams();
            dtpResultDate->setEnabled(false);
            cmdResetResult->setEnabled(true);
        }
        return;
    }

    const QString text = instrumentSampleCall('1', QStringLiteral("', '"));
    auto rs =
        session().LabDb->openRecordset(text, CursorOptions::clientDynamic(LockType::Optimistic));
    if (rs->recordCount() > 0) {
        layoutDownloadedGrid();
        msfgDLresult->bind(rs->data());
    }
    rs->close();
    if (msfgRequest->Rows() > 1)
        msfgRequest->setRow(1);
    dtpResultDate->setEnabled(false);
    cmdResetResult->setEnabled(true);
}

void ResultEntryForm::showRequestSample()
{
    SessionState& s = session();
    RefNum = s.Request.RefNum;

    // The request's sample: from the instrument's worklist, else from what
    // the instrument downloaded for the order.
    QString sampleDate;
    QString sampleNum;
    const QString where = QStringLiteral(" Where InstrumentID like '") + sqlLiteral(InstrumentId) +
                          QStringLiteral("' and refnum = '") + sqlLiteral(RefNum) +
                          QStringLiteral("'");
    const auto takeSample = [&](Recordset& rs, const QString& dateColumn,
                                const QString& numberColumn) {
        sampleDate = rs.textOrEmpty(dateColumn);
        sampleNum = rs.textOrEmpty(numberColumn);
        dtpResultDate->setDate(DateText::toDateTime(rs.value(dateColumn)).date());
        txtSampleNum->setText(sampleNum);
        txtAccNum->setText(sampleNum);
    };
    auto worklist =
        s.LabDb->openRecordset(QStringLiteral("Select * from tbLabInstrumentHemaWorkList") + where,
                               CursorOptions::clientDynamic());
    if (!worklist->eof()) {
        takeSample(*worklist, QStringLiteral("orderdate"), QStringLiteral("SampleNumber"));
    } else {
        auto downloaded = s.LabDb->openRecordset(
            QStringLiteral("select * from laboratory..tbLabInstrumentDLHemaResult") + where,
            CursorOptions::clientDynamic());
        if (!downloaded->eof())
            takeSample(*downloaded, QStringLiteral("Resultdate"), QStringLiteral("SampleNum"));
    }

    const auto day = DateText::parse(sampleDate);
    auto sample = s.LabDb->openRecordset(
        QStringLiteral("LABORATORY..sp_InstrumentGetAxsymSample  '3','") +
            (day ? DateText::monthDayYear(day->date()) : QString()) + QStringLiteral("','") +
            sqlLiteral(InstrumentId.trimmed()) + QStringLiteral("','") + sqlLiteral(sampleNum) +
            QStringLiteral("','") + QStringLiteral("', '") + sqlLiteral(RefNum.trimmed()) +
            QStringLiteral("'"),
        CursorOptions::clientDynamic(LockType::Optimistic));
    if (sample->recordCount() > 0) {
        layoutRequestGrid();
        // The instrument grid gets its own columns too, so only the
        // columns staff read are visible.
        layoutDownloadedGrid();
        msfgDLresult->bind(sample->data());
    }
    if (msfgRequest->Rows() > 1) {
        // Before the window is shown a current row places no editor.
        const QSignalBlocker quiet(msfgRequest);
        msfgRequest->setRow(1);
    }
}
