#pragma once

#include <QDateTime>
#include <functional>

// "Today" and "now" for the whole component; tests pin it.
namespace Clock {
QDateTime now();
QDate today();
// Replaces the clock; an empty function restores the system clock.
void setSource(std::function<QDateTime()> source);
void pin(const QDateTime& moment);
} // namespace Clock
