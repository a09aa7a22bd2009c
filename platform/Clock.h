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
// Has the C library read the local time zone once for the process. Without
// TZ it looks at /etc/localtime again at every local-time conversion (a file
// status call each, a tenth of a 200-row save); TZ=":/etc/localtime" names
// the same zone. A TZ already set is kept.
void readZoneOnce();
} // namespace Clock
