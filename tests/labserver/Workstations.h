#pragma once

#include <QString>
#include <chrono>

// What tst_workstations and the workstations it starts must agree on.
namespace Workstations {
// The requests the saves are made for: W-0001, W-0002, ...
inline QString request(int n)
{
    return QStringLiteral("W-%1").arg(n, 4, 10, QLatin1Char('0'));
}

// Stamps in ns on the steady clock, the same in every process.
inline qint64 steadyNow()
{
    return std::chrono::steady_clock::now().time_since_epoch().count();
}
} // namespace Workstations
