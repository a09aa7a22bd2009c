// The normal-values window's checks of its results: flags and the previous
// result while typing, and on save the questions about implausible,
// critical and changed results and what the laboratory is told of them.
#include "Clock.h"
#include "Connection.h"
#include "DateText.h"
#include "FlexGrid.h"
#include "Presenter.h"
#include "SqlText.h"
#include "frmCriticalCall.h"
#include "frmNVDownloads.h"
#include "modMain.h"

#include <QHeaderView>
#include <QSysInfo>

namespace {
// After the saved columns 0-14, never saved themselves.
constexpr int kFlagColumn = 15;
constexpr int kPreviousColumn = 16;
constexpr int kValueColumn = 3;
constexpr int kConventionalColumn = 8;
const QColor kDeltaShade(0xff, 0xd5, 0x80); // amber

QString call(const QString& procedure, const QStringList& args)
{
    QStringList quoted;
    for (const QString& a : args)
        quoted << QLatin1Char('\'') + sqlLiteral(a) + QLatin1Char('\'');
    return procedure + QLatin1Char(' ') + quoted.join(QLatin1Char(','));
}

QString withUnit(const QString& value, const QString& unit)
{
    return unit.isEmpty() ? value : value + QLatin1Char(' ') + unit;
}
} // namespace

QString frmNVDownloads::rowKey(int row) const
{
    return msfgRequest->TextMatrix(row, 0).trimmed().toUpper() + QLatin1Char('|') +
           msfgRequest->TextMatrix(row, 1).trimmed().toUpper();
}

void frmNVDownloads::layoutCheckColumns()
{
    const bool shown = m_checks.anyFlagged();
    msfgRequest->setColWidth(kFlagColumn, shown ? 900 : 0);
    msfgRequest->setColWidth(kPreviousColumn, shown ? 2500 : 0);
    msfgRequest->setTextMatrix(0, kFlagColumn, QStringLiteral("Flag"));
    msfgRequest->setTextMatrix(0, kPreviousColumn, QStringLiteral("Previous"));
    // Shown beside what they judge: the flag after the SI result, the
    // previous result after the SI unit. Only the view moves; the cells keep
    // their numbers.
    QHeaderView* header = msfgRequest->horizontalHeader();
    const auto after = [header](int col, int shownAfter) {
        const int to = header->visualIndex(shownAfter) + 1;
        const int from = header->visualIndex(col);
        if (from != to)
            header->moveSection(from, from < to ? to - 1 : to);
    };
    after(kFlagColumn, kValueColumn);
    after(kPreviousColumn, 5);
}

void frmNVDownloads::loadChecks()
{
    Connection& db = *session().LabDb;
    m_checks.load(db, session().RequestNum);
    m_savedValues.clear();
    for (int r = 1; r < msfgRequest->Rows(); ++r) {
        m_checks.load(db, msfgRequest->TextMatrix(r, 0));
        m_savedValues.insert(rowKey(r), msfgRequest->TextMatrix(r, kValueColumn).trimmed());
    }
    m_checksShown = true;
    layoutCheckColumns();
    for (int r = 1; r < msfgRequest->Rows(); ++r)
        showChecks(r);
}

const ItemChecks* frmNVDownloads::checksOf(int row) const
{
    return m_checks.item(msfgRequest->TextMatrix(row, 0), msfgRequest->TextMatrix(row, 1));
}

void frmNVDownloads::showChecks(int row)
{
    if (!m_checksShown || row < 1 || row >= msfgRequest->Rows() ||
        msfgRequest->Cols() <= kPreviousColumn)
        return;
    const QString request = msfgRequest->TextMatrix(row, 0);
    if (!request.trimmed().isEmpty() && !m_checks.loaded(request)) {
        // A row taken over for another request of the order.
        const bool before = m_checks.anyFlagged();
        m_checks.load(*session().LabDb, request);
        if (m_checks.anyFlagged() != before)
            layoutCheckColumns();
    }
    const ItemChecks* checks =
        m_checks.flagged(msfgRequest->TextMatrix(row, 0), msfgRequest->TextMatrix(row, 1));
    if (!checks) {
        // Nothing to show: cells never written stay as they were.
        if (!msfgRequest->TextMatrix(row, kFlagColumn).isEmpty() ||
            !msfgRequest->TextMatrix(row, kPreviousColumn).isEmpty()) {
            for (int c : {kFlagColumn, kPreviousColumn}) {
                msfgRequest->setTextMatrix(row, c, QString());
                QTableWidgetItem* item = msfgRequest->item(row - 1, c);
                item->setData(Qt::ForegroundRole, QVariant());
                item->setData(Qt::BackgroundRole, QVariant());
                item->setData(Qt::FontRole, QVariant());
                item->setToolTip(QString());
            }
        }
        return;
    }
    const RowFlags f =
        ResultChecks::flags(*checks, msfgRequest->TextMatrix(row, kValueColumn),
                            msfgRequest->TextMatrix(row, kConventionalColumn), Clock::now());
    msfgRequest->setTextMatrix(row, kFlagColumn, f.text());
    QTableWidgetItem* flag = msfgRequest->item(row - 1, kFlagColumn);
    flag->setTextAlignment(Qt::AlignCenter);
    const QColor fore = f.foreground(), back = f.background();
    flag->setData(Qt::ForegroundRole, fore.isValid() ? QVariant(QBrush(fore)) : QVariant());
    flag->setData(Qt::BackgroundRole, back.isValid() ? QVariant(QBrush(back)) : QVariant());
    QFont font = msfgRequest->font();
    font.setBold(true);
    flag->setData(Qt::FontRole, f.text().isEmpty() ? QVariant() : QVariant(font));

    msfgRequest->setTextMatrix(
        row, kPreviousColumn, ResultChecks::previousText(*checks, msfgRequest->TextMatrix(row, 5)));
    QTableWidgetItem* previous = msfgRequest->item(row - 1, kPreviousColumn);
    previous->setToolTip(checks->previousRequest.isEmpty()
                             ? QString()
                             : QStringLiteral("Verified result of request ") +
                                   checks->previousRequest);
    previous->setData(Qt::BackgroundRole, f.delta ? QVariant(QBrush(kDeltaShade)) : QVariant());
    // The previous result beside the flag too, for a window too narrow to
    // show its column.
    const QString before = msfgRequest->TextMatrix(row, kPreviousColumn);
    flag->setToolTip(before.isEmpty() ? QString()
                                      : QStringLiteral("Previous: %1 (%2)%3")
                                            .arg(before, checks->previousRequest,
                                                 f.delta ? QStringLiteral(", changed by more than "
                                                                          "the delta limit")
                                                         : QString()));
}

bool frmNVDownloads::confirmChecks(bool verifying)
{
    const SessionState& s = session();
    const QDateTime now = Clock::now();
    const QString workstation = QSysInfo::machineHostName();
    for (RowSave& row : m_rows) {
        row.recorded.clear();
        row.early.clear();
        m_checks.load(*s.LabDb, row.requestNum);
    }
    const auto cell = [&](const RowSave& row, int c) {
        return msfgRequest->TextMatrix(row.gridRow, c).trimmed();
    };
    const auto unchanged = [&](const RowSave& row) {
        const auto saved = m_savedValues.constFind(rowKey(row.gridRow));
        return saved != m_savedValues.cend() && !saved->isEmpty() &&
               *saved == cell(row, kValueColumn);
    };
    const QString no = QStringLiteral("No saves nothing: every value stays on the screen.");

    // A typing slip is caught before anyone is called about it.
    for (const RowSave& row : m_rows) {
        const ItemChecks* c = checksOf(row.gridRow);
        const QString value = cell(row, kValueColumn);
        if (!c || !ResultFlags::implausible(value, c->limits))
            continue;
        if (msgBox(QStringLiteral("The result %1 of %2 is outside the plausible limits %3: it "
                                  "may be a typing slip. Save it anyway?")
                       .arg(value, cell(row, 2),
                            withUnit(ResultChecks::plausibleText(c->limits), cell(row, 5))),
                   no, MsgIcon::Exclamation, QStringLiteral("Implausible Result"),
                   MsgButtons::YesNo, MsgAnswer::No) != MsgAnswer::Yes)
            return false;
    }

    QHash<int, QString> calls; // by grid row
    for (const RowSave& row : m_rows) {
        const ItemChecks* c = checksOf(row.gridRow);
        const QString value = cell(row, kValueColumn);
        const QString flag = c ? ResultFlags::flag(value, c->limits) : QString();
        if (!ResultFlags::isCritical(flag))
            continue;
        // Called already about this very value: not again.
        if (!c->criticalCalledTo.isEmpty() && unchanged(row))
            continue;
        frmCriticalCall dialog(cell(row, 2), withUnit(value, cell(row, 5)), flag);
        if (!dialog.ask())
            return false;
        calls.insert(row.gridRow,
                     call(QStringLiteral("Lab_RecordCriticalCall"),
                          {row.requestNum, row.examCode, dialog.reportedTo(),
                           DateText::general(dialog.calledAt()), s.EmployeeCode, workstation}));
    }

    QHash<int, QString> acknowledgements;
    for (const RowSave& row : m_rows) {
        const ItemChecks* c = checksOf(row.gridRow);
        const QString value = cell(row, kValueColumn);
        if (!verifying || !c || !ResultFlags::deltaExceeded(value, c->limits, now))
            continue;
        if (!c->deltaAcknowledgedBy.isEmpty() && unchanged(row))
            continue;
        const ItemLimits& l = c->limits;
        QString text = QStringLiteral("The result of %1 changed from %2 (%3) to %4: more than "
                                      "the delta limit of %5")
                           .arg(cell(row, 2),
                                withUnit(l.previous, ResultChecks::previousUnit(*c, cell(row, 5))),
                                l.previousAt.isValid() ? DateText::monthDayYear(l.previousAt.date())
                                                       : QStringLiteral("date unknown"),
                                value, ResultChecks::deltaLimitText(*c, cell(row, 5)));
        if (l.deltaDays > 0)
            text += QStringLiteral(" within %1 days").arg(l.deltaDays);
        text += QStringLiteral(". Acknowledge it and verify?");
        if (msgBox(text, no, MsgIcon::Question, QStringLiteral("Delta Check"), MsgButtons::YesNo,
                   MsgAnswer::No) != MsgAnswer::Yes)
            return false;
        acknowledgements.insert(row.gridRow, call(QStringLiteral("Lab_AcknowledgeDelta"),
                                                  {row.requestNum, row.examCode, s.EmployeeCode}));
    }

    for (RowSave& row : m_rows) {
        if (!m_checks.active(row.requestNum))
            continue;
        const QString value = cell(row, kValueColumn);
        const auto taken = m_taken.constFind(rowKey(row.gridRow));
        const bool instrument =
            ResultTakenOver && taken != m_taken.cend() && taken->value.trimmed() == value;
        row.recorded << call(QStringLiteral("Lab_RecordResultEntry"),
                             {row.requestNum, row.examCode, s.EmployeeCode,
                              instrument ? QStringLiteral("I") : QStringLiteral("T"),
                              instrument ? InstrumentId.trimmed() : QString(),
                              instrument ? taken->sample : QString(), workstation});
        // A value the laboratory holds already can be called about and
        // acknowledged before it is verified; a new one once it is saved.
        QStringList& when = verifying && unchanged(row) ? row.early : row.recorded;
        for (const QHash<int, QString>* said : {&calls, &acknowledgements})
            if (said->contains(row.gridRow))
                when << said->value(row.gridRow);
    }
    return true;
}
