#include "SaveQuestions.h"
#include "platform/CommandText.h"
#include "platform/DateText.h"

namespace {
QString withUnit(const QString& value, const QString& unit)
{
    return unit.isEmpty() ? value : value + QLatin1Char(' ') + unit;
}

QString deltaText(const CheckedRow& row)
{
    const ItemChecks& c = *row.checks;
    const ItemLimits& l = c.limits;
    QString text = QStringLiteral("The result of %1 changed from %2 (%3) to %4: more than "
                                  "the delta limit of %5")
                       .arg(row.name, withUnit(l.previous, ResultChecks::previousUnit(c, row.unit)),
                            l.previousAt.isValid() ? DateText::monthDayYear(l.previousAt.date())
                                                   : QStringLiteral("date unknown"),
                            row.value, ResultChecks::deltaLimitText(c, row.unit));
    if (l.deltaDays > 0)
        text += QStringLiteral(" within %1 days").arg(l.deltaDays);
    return text + QStringLiteral(". Acknowledge it and verify?");
}
} // namespace

QList<SaveQuestion> saveQuestions(const QList<CheckedRow>& rows, bool verifying,
                                  const QDateTime& now)
{
    QList<SaveQuestion> asked;
    for (const CheckedRow& row : rows) {
        const ItemChecks* c = row.checks;
        if (!c || !ResultFlags::implausible(row.value, c->limits))
            continue;
        asked.append({SaveQuestion::Implausible, row.gridRow,
                      QStringLiteral("The result %1 of %2 is outside the plausible limits %3: it "
                                     "may be a typing slip. Save it anyway?")
                          .arg(row.value, row.name,
                               withUnit(ResultChecks::plausibleText(c->limits), row.unit)),
                      QString(), row.name, withUnit(row.value, row.unit)});
    }
    for (const CheckedRow& row : rows) {
        const ItemChecks* c = row.checks;
        const QString flag = c ? ResultFlags::flag(row.value, c->limits) : QString();
        if (!ResultFlags::isCritical(flag))
            continue;
        // Called already about this very value: not again.
        if (!c->criticalCalledTo.isEmpty() && row.unchanged)
            continue;
        asked.append({SaveQuestion::Critical, row.gridRow, QString(), flag, row.name,
                      withUnit(row.value, row.unit)});
    }
    for (const CheckedRow& row : rows) {
        const ItemChecks* c = row.checks;
        if (!verifying || !c || !ResultFlags::deltaExceeded(row.value, c->limits, now))
            continue;
        if (!c->deltaAcknowledgedBy.isEmpty() && row.unchanged)
            continue;
        asked.append({SaveQuestion::Delta, row.gridRow, deltaText(row), QString(), row.name,
                      withUnit(row.value, row.unit)});
    }
    return asked;
}

namespace CheckCommands {
using CommandText::call;
using CommandText::Join;

QString criticalCall(const CheckedRow& row, const QString& reportedTo, const QDateTime& calledAt,
                     const QString& employee, const QString& workstation)
{
    return call(
        QStringLiteral("Lab_RecordCriticalCall"),
        {row.request, row.item, reportedTo, DateText::general(calledAt), employee, workstation},
        Join::Tight);
}

QString deltaAcknowledged(const CheckedRow& row, const QString& employee)
{
    return call(QStringLiteral("Lab_AcknowledgeDelta"), {row.request, row.item, employee},
                Join::Tight);
}

QString resultEntry(const CheckedRow& row, const QString& employee, bool fromInstrument,
                    const QString& instrumentId, const QString& sample, const QString& workstation)
{
    return call(QStringLiteral("Lab_RecordResultEntry"),
                {row.request, row.item, employee,
                 fromInstrument ? QStringLiteral("I") : QStringLiteral("T"),
                 fromInstrument ? instrumentId : QString(), fromInstrument ? sample : QString(),
                 workstation},
                Join::Tight);
}
} // namespace CheckCommands
