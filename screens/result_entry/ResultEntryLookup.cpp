// Looking up an instrument sample and showing what the instrument
// downloaded for it.
#include "component/SavedResults.h"
#include "component/modMain.h"
#include "component/model/ResultGrid.h"
#include "labrules/Numeric.h"
#include "platform/Clock.h"
#include "platform/CommandText.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"
#include "platform/db/Connection.h"
#include "platform/ui/FlexGrid.h"
#include "screens/result_entry/ResultEntryForm.h"

#include <QDateEdit>
#include <QHash>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSet>

namespace {
constexpr int kPatientColumn = col(DownloadedCol::Patient);
constexpr int kRefNumColumn = col(DownloadedCol::RefNum);
constexpr int kPostedColumn = col(DownloadedCol::Posted);
constexpr int kPostedToColumn = col(DownloadedCol::PostedTo);
constexpr int kOrderedByColumn = col(DownloadedCol::OrderedBy);

// Surname and first given name, without case or blanks: instruments
// abbreviate the rest ("DELA CRUZ, JUAN S").
QString nameKey(const QString& name)
{
    const QString n = name.simplified().toUpper();
    const qsizetype comma = n.indexOf(QLatin1Char(','));
    const QString surname = comma < 0 ? n : n.left(comma);
    const QString given =
        comma < 0 ? QString() : n.mid(comma + 1).simplified().section(QLatin1Char(' '), 0, 0);
    return QString(surname).remove(QLatin1Char(' ')) + QLatin1Char(',') + given;
}

bool blank(const QStringList& row)
{
    return std::all_of(row.begin(), row.end(),
                       [](const QString& cell) { return cell.trimmed().isEmpty(); });
}
} // namespace

void ResultEntryForm::cmdSearchSampleNum_Click()
{
    // Enter in the box arrives here too, also while the search is off.
    if (!cmdSearchSampleNum->isEnabled())
        return;
    if (!resultDateAccepted())
        return;
    const QString typed = txtSampleNum->text().trimmed();
    if (!typed.isEmpty() && typed != LookedUpSample && numeric(typed)) {
        lookUpSample(typed, QString());
        return;
    }

    // The sample shown is no filter: the search lists the whole day.
    SampleSearchEnd ended = SampleSearchEnd::Failed;
    const QString picked = PickSampleNumber(
        QDateTime(dtpResultDate->date(), QTime(0, 0)), InstrumentId, InstrumentName,
        !typed.isEmpty() && typed == LookedUpSample ? QString() : txtSampleNum->text(), &ended);
    const qsizetype bar = picked.indexOf(QLatin1Char('|'));
    if (!picked.left(bar).trimmed().isEmpty()) {
        lookUpSample(picked.left(bar), bar >= 0 ? picked.mid(bar + 1) : QString());
        return;
    }

    offerManualEntry(ended);
}

bool ResultEntryForm::resultDateAccepted()
{
    if (dtpResultDate->date() <= Clock::today())
        return true;
    msgBox(QStringLiteral("Result date is invalid!\n\nPlease change the result date and try "
                          "again."),
           QStringLiteral("The result date %1 is after today (%2): pick the day the "
                          "instrument measured the sample of %3.")
               .arg(DateText::monthDayYear(dtpResultDate->date()),
                    DateText::monthDayYear(Clock::today()), session().RequestNum.trimmed()),
           MsgIcon::Exclamation, QStringLiteral("Invalid Result Date"));
    return false;
}

void ResultEntryForm::offerManualEntry(SampleSearchEnd ended)
{
    const QString req = session().RequestNum.trimmed();
    // The offer to type the results by hand keeps its wording; the advice
    // says when the search was only closed without a pick.
    const QString manualAdvice =
        (ended == SampleSearchEnd::Cancelled ? QStringLiteral("No sample was picked in the "
                                                              "search. ")
                                             : QString()) +
        QStringLiteral("Yes lists the requested exams of %1 to type their results; No leaves "
                       "the window as it was.")
            .arg(req);
    const MsgAnswer manual = msgBox(QStringLiteral("Sample not found.\nWould you like to manually "
                                                   "enter the results."),
                                    manualAdvice, MsgIcon::Question, QStringLiteral("Message"),
                                    MsgButtons::YesNo, MsgAnswer::No);
    if (manual != MsgAnswer::Yes)
        return;
    // Rows on the screen keep their values: the requested exams without a
    // row are added below them.
    lstREVIEW->clear();
    ResultTakenOver = false;
    layoutRequestGrid();
    copyRequestedExams();
    // Typed by hand: no instrument sample goes with these results.
    txtSampleNum->clear();
    LookedUpSample.clear();
    m_watchedSample.clear();
    dtpResultDate->setEnabled(false);
    cmdResetResult->setEnabled(true);
}

void ResultEntryForm::lookUpSample(const QString& sample, const QString& pickedPatient)
{
    SessionState& s = session();
    const QString date = DateText::monthDayYear(dtpResultDate->date());
    const QString text = SaveCommands::sampleCall('1', date, InstrumentId.trimmed(), sample,
                                                  pickedPatient, s.Request.RefNum, true);
    auto rs = s.LabDb->openRecordset(text, CursorOptions::clientDynamic(LockType::Optimistic));
    const ResultSet found = rs->data();
    rs->close();
    if (found.rows.isEmpty()) {
        msgBox(QStringLiteral("Sample %1 was not found among the results of %2 for %3.")
                   .arg(sample, InstrumentName.isEmpty() ? InstrumentId : InstrumentName, date),
               QStringLiteral("Check the sample number for %1 and the result date, or press "
                              "\"...\" to pick the sample from that day's list.")
                   .arg(s.RequestNum.trimmed()),
               MsgIcon::Information, QStringLiteral("Sample Search"));
        return;
    }

    const QVariantList& first = found.rows.first();
    const QString sampleRef = first.value(kRefNumColumn).toString().trimmed();
    const QString patient = pickedPatient.trimmed().isEmpty()
                                ? first.value(kPatientColumn).toString().trimmed()
                                : pickedPatient;
    bool postedElsewhere = false;
    if (!postedSampleAccepted(sample, found, postedElsewhere))
        return;
    const bool samePatient =
        sampleRef.isEmpty()
            ? !patient.isEmpty() && nameKey(patient) == nameKey(s.Request.PatientName)
            : sampleRef.compare(RefNum.trimmed(), Qt::CaseInsensitive) == 0;
    if (!samePatient &&
        msgBox(QStringLiteral("Sample %1 (%2) is not of this request's patient (%3).\n\nUse its "
                              "results for request %4?")
                   .arg(sample, patient.isEmpty() ? QStringLiteral("no patient name") : patient,
                        s.Request.PatientName, s.RequestNum.trimmed()),
               QStringLiteral("Yes shows the sample's results to take over; No leaves the window "
                              "as it was. Check the sample number when in doubt."),
               MsgIcon::Exclamation, QStringLiteral("Another Patient"), MsgButtons::YesNo,
               MsgAnswer::No) != MsgAnswer::Yes)
        return;

    m_foreignSample = postedElsewhere || !samePatient;
    showLookedUpSample(sample, patient, found, text);
}

void ResultEntryForm::showLookedUpSample(const QString& sample, const QString& patient,
                                         const ResultSet& found, const QString& call)
{
    lstREVIEW->clear();
    ResultTakenOver = false;
    layoutRequestGrid();
    layoutDownloadedGrid();
    msfgDLresult->bind(found);
    markQcHolds();
    txtSampleNum->setText(sample);
    txtAccNum->setText(sample);
    m_lookupAccNum = sample;
    txtPName->setText(patient);
    LookedUpSample = sample;
    m_watchedSample = sample;
    m_sampleCall = call;
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
    const QString where = CommandText::select(
        QStringLiteral(" Where InstrumentID like %1 and refnum = %2"), {InstrumentId, RefNum});
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
    const QString call = SaveCommands::sampleCall(
        '3', day ? DateText::monthDayYear(day->date()) : QString(), InstrumentId.trimmed(),
        sampleNum, QString(), RefNum.trimmed(), true);
    auto sample = s.LabDb->openRecordset(call, CursorOptions::clientDynamic(LockType::Optimistic));
    // Results the instrument sends for this sample while the window is open
    // appear without a reopen, where the server tells of them.
    m_watchedSample = sampleNum.trimmed();
    m_sampleCall = call;
    watchDownloads();
    LookedUpSample.clear();
    if (sample->recordCount() > 0) {
        LookedUpSample = sampleNum.trimmed();
        layoutRequestGrid();
        // The instrument grid gets its own columns too, so only the
        // columns staff read are visible.
        layoutDownloadedGrid();
        m_openedDownloads = sample->data();
        msfgDLresult->bind(m_openedDownloads);
        txtPName->setText(
            m_openedDownloads.rows.first().value(kPatientColumn).toString().trimmed());
    }
    if (msfgRequest->Rows() > 1) {
        // Before the window is shown a current row places no editor.
        const QSignalBlocker quiet(msfgRequest);
        msfgRequest->setRow(1);
    }
}

ResultEntryForm::GridRows ResultEntryForm::gridRows(const FlexGrid* grid)
{
    GridRows rows;
    for (int r = 1; r < grid->Rows(); ++r) {
        QStringList row;
        for (int c = 0; c < grid->Cols(); ++c)
            row << grid->TextMatrix(r, c);
        rows << row;
    }
    return rows;
}

void ResultEntryForm::setGridRows(FlexGrid* grid, const GridRows& rows)
{
    // Painted once when whole: a repaint asked for cell by cell costs more
    // the more rows the grid has.
    const bool painting = grid->updatesEnabled();
    grid->setUpdatesEnabled(false);
    grid->setRows(std::max(int(rows.size()) + 1, 2));
    for (int r = 1; r < grid->Rows(); ++r)
        for (int c = 0; c < grid->Cols(); ++c)
            grid->setTextMatrix(r, c, rows.value(r - 1).value(c));
    grid->setUpdatesEnabled(painting);
}

void ResultEntryForm::mergeTakenRows(const GridRows& taken)
{
    QHash<QString, QList<int>> byCode;
    for (int t = 0; t < taken.size(); ++t)
        byCode[taken[t].value(1).trimmed()].append(t);
    QList<bool> used(taken.size(), false);
    GridRows rows;
    for (const QStringList& row : gridRows(msfgRequest)) {
        const QString code = row.value(1).trimmed();
        QList<int>& same = byCode[code];
        if (!code.isEmpty() && !same.isEmpty()) {
            used[same.first()] = true;
            rows << taken[same.takeFirst()];
        } else if (!blank(row)) {
            rows << row;
        }
    }
    for (int t = 0; t < taken.size(); ++t)
        if (!used[t])
            rows << taken[t];
    // As many rows as the instrument sent at least, to type the rest into.
    while (rows.size() + 1 < msfgDLresult->Rows())
        rows << QStringList();
    setGridRows(msfgRequest, rows);
}

bool ResultEntryForm::postedSampleAccepted(const QString& sample, const ResultSet& found,
                                           bool& postedElsewhere)
{
    // Rows posted to the request that ordered their exam (a package's other
    // request) or to this one are the sample's own.
    const QString own = session().RequestNum.trimmed();
    QStringList others;
    for (const QVariantList& row : found.rows) {
        const QString posted = row.value(kPostedToColumn).toString().trimmed();
        if (row.value(kPostedColumn).toString().trimmed() != QLatin1String("Y") ||
            posted.isEmpty() || posted.compare(own, Qt::CaseInsensitive) == 0 ||
            posted.compare(row.value(kOrderedByColumn).toString().trimmed(), Qt::CaseInsensitive) ==
                0 ||
            others.contains(posted, Qt::CaseInsensitive))
            continue;
        others << posted;
    }
    if (others.isEmpty())
        return true;
    if (msgBox(QStringLiteral("Sample %1 is already posted to %2.\n\nTake its results for "
                              "request %3 too?")
                   .arg(sample, others.join(QStringLiteral(", ")), own),
               QStringLiteral("Yes shows the sample's results to take over; No leaves the window "
                              "as it was. A sample is posted to the request it was saved for."),
               MsgIcon::Exclamation, QStringLiteral("Posted Sample"), MsgButtons::YesNo,
               MsgAnswer::No) != MsgAnswer::Yes)
        return false;
    postedElsewhere = true;
    return true;
}

void ResultEntryForm::restoreOpenedSample()
{
    // An accession number a lookup wrote goes back to the one the window
    // opened with; one typed since stays.
    if (!m_lookupAccNum.isNull() && txtAccNum->text() == m_lookupAccNum)
        txtAccNum->setText(m_opened.accessionNum);
    m_lookupAccNum = QString();
    if (!std::exchange(m_foreignSample, false))
        return;
    // Nothing of another patient's sample stays on the window to be posted.
    txtSampleNum->setText(m_opened.sample);
    txtPName->setText(m_opened.patient);
    LookedUpSample = m_opened.lookedUp;
    m_watchedSample = m_opened.sample.trimmed();
    m_sampleCall = m_opened.call;
    layoutDownloadedGrid();
    msfgDLresult->bind(m_openedDownloads);
    markQcHolds();
}

void ResultEntryForm::mergeRequestedRows(const GridRows& requested)
{
    GridRows rows;
    QSet<QString> shown;
    for (const QStringList& row : gridRows(msfgRequest)) {
        if (blank(row))
            continue;
        rows << row;
        shown.insert(row.value(1).trimmed());
    }
    for (const QStringList& row : requested)
        if (!shown.contains(row.value(1).trimmed()))
            rows << row;
    setGridRows(msfgRequest, rows);
}

bool ResultEntryForm::confirmRemovingRows(const QString& why)
{
    return msgBox(why + QStringLiteral("\n\nGo on?"),
                  QStringLiteral("No keeps the results of %1 as they are on the screen; save them "
                                 "first to keep them.")
                      .arg(session().RequestNum.trimmed()),
                  MsgIcon::Exclamation, QStringLiteral("Results on the Screen"), MsgButtons::YesNo,
                  MsgAnswer::No) == MsgAnswer::Yes;
}

bool ResultEntryForm::sampleLookedUp()
{
    const QString shown = txtSampleNum->text().trimmed();
    if (!LookedUpSample.isEmpty() && shown == LookedUpSample)
        return true;
    msgBox(shown.isEmpty()
               ? QStringLiteral("No sample has been looked up: there are no instrument results "
                                "to use.")
               : QStringLiteral("Sample %1 has not been looked up: press Enter in Sample Number "
                                "to look it up first.")
                     .arg(shown),
           QStringLiteral("Type the sample number of %1 and press Enter, or press \"...\" to "
                          "pick it from the samples of %2.")
               .arg(session().RequestNum.trimmed(), DateText::monthDayYear(dtpResultDate->date())),
           MsgIcon::Information, QStringLiteral("Use Result"));
    return false;
}

QString ResultEntryForm::sampleToPost() const
{
    const QString shown = txtSampleNum->text().trimmed();
    if (shown == LookedUpSample)
        return LookedUpSample;
    throw LisError(ErrNo::ItemNotFound,
                   LookedUpSample.isEmpty()
                       ? QStringLiteral("Sample %1 has not been looked up: press Enter in Sample "
                                        "Number to look it up, or clear it.")
                             .arg(shown)
                       : QStringLiteral("Sample Number shows \"%1\", not the sample looked up "
                                        "(%2): put %2 back or look the sample up again.")
                             .arg(shown, LookedUpSample));
}

bool ResultEntryForm::nothingToSave()
{
    for (int r = 1; r < msfgRequest->Rows(); ++r)
        if (!msfgRequest->TextMatrix(r, 1).trimmed().isEmpty())
            return false;
    msgBox(QStringLiteral("There are no results to save."),
           QStringLiteral("Nothing of %1 was saved. Take results over with Use Result, or "
                          "press \"...\" and answer Yes to type them; then save.")
               .arg(session().RequestNum.trimmed()),
           MsgIcon::Information, QStringLiteral("Save"));
    return true;
}

void ResultEntryForm::watchDownloads()
{
    if (m_watching || !session().LabDb || !session().LabDb->isOpen())
        return;
    const QPointer<ResultEntryForm> self(this);
    m_watching = session().LabDb->watch(downloadsChannel(), [self](const QString& notice) {
        if (self)
            self->downloadsArrived(notice);
    });
}

void ResultEntryForm::downloadsArrived(const QString& notice)
{
    if (m_watchedSample.isEmpty() || m_sampleCall.isEmpty() ||
        notice != InstrumentId.trimmed().toUpper() + QLatin1Char('|') + m_watchedSample.toUpper())
        return;
    guarded([this] {
        auto rs = session().LabDb->openRecordset(
            m_sampleCall, CursorOptions::clientDynamic(LockType::Optimistic));
        const ResultSet found = rs->data();
        rs->close();
        if (found.rows.isEmpty())
            return;
        // Only the instrument's grid changes: what staff typed or took over
        // stays, and Use Result takes the new rows when they ask.
        layoutDownloadedGrid();
        msfgDLresult->bind(found);
        markQcHolds();
        if (LookedUpSample.isEmpty()) {
            LookedUpSample = m_watchedSample;
            txtSampleNum->setText(m_watchedSample);
        }
        cmdResetResult->setEnabled(true);
    });
}
