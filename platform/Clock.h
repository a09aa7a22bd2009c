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
// Pins the clock the given time later than it reads now: tests move it past
// a timeout instead of waiting for one.
void advance(qint64 ms);
} // namespace Clock
