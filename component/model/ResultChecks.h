#pragma once

#include "labrules/ResultFlags.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <optional>

class Connection;

// What the laboratory answers for one exam item of a request: the limits a
// result is judged by, the patient's previous verified result and what was
// recorded of this result already.
struct ItemChecks {
    ItemLimits limits; // SI units
    std::optional<double> cMin;
    std::optional<double> cMax;
    QString previousUnit;
    QString previousRequest;
    QString criticalCalledTo;
    QString deltaAcknowledgedBy;
    std::optional<QString> verifiedResult; // the saved result, when it is verified
};

// How one row's result reads against its item's checks.
struct RowFlags {
    QString si;           // "", "L", "H", "LL", "HH"
    QString conventional; // "", "L", "H"; only when the conventional cell holds a number
    bool conventionalShown = false;
    bool delta = false;

    // "HH D", "H / H", "" when nothing is flagged.
    QString text() const;
    bool critical() const { return ResultFlags::isCritical(si); }
};

// The laboratory's checks of the requests in one window, read once per
// request. A laboratory that does not know the checks, or has no limit set
// for any item of a request, leaves that request exactly as it was saved
// before the checks existed.
class ResultChecks {
public:
    // Reads a request's checks unless they were read already.
    void load(Connection& db, const QString& request);
    bool loaded(const QString& request) const;
    // A critical, plausible or delta limit is set for an item of the request.
    bool active(const QString& request) const;
    bool anyActive() const;
    // nullptr when the request is not active or the item has no row.
    const ItemChecks* item(const QString& request, const QString& itemId) const;
    // Every item's flags are shown, whether or not its request is active:
    // any item of a loaded request with a range or a limit.
    bool anyFlagged() const;
    const ItemChecks* flagged(const QString& request, const QString& itemId) const;
    // The verified saved result of an item, whatever the request's checks.
    std::optional<QString> verifiedResult(const QString& request, const QString& itemId) const;

    static RowFlags flags(const ItemChecks& checks, const QString& si, const QString& conventional,
                          const QDateTime& at);
    // "5.5 mmol/L 03/01/2026"; empty without a previous result. The unit
    // is the item's own when the previous result was saved without one.
    static QString previousText(const ItemChecks& checks, const QString& unit);
    static QString previousUnit(const ItemChecks& checks, const QString& unit);
    // "50%" or "20 g/L".
    static QString deltaLimitText(const ItemChecks& checks, const QString& unit);
    // "0 - 100", "from 0", "up to 100".
    static QString plausibleText(const ItemLimits& limits);

private:
    struct Request {
        bool active = false;
        bool ranged = false;              // an item has a normal range
        QHash<QString, ItemChecks> items; // by item code, upper case
    };
    static QString key(const QString& text) { return text.trimmed().toUpper(); }
    QHash<QString, Request> m_requests; // by request number, upper case
};
