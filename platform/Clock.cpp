#include "Clock.h"

#include <QtGlobal>

namespace {
std::function<QDateTime()>& source()
{
    static std::function<QDateTime()> s;
    return s;
}

QDateTime& pinned()
{
    static QDateTime moment;
    return moment;
}
} // namespace

QDateTime Clock::now()
{
    return source() ? source()() : QDateTime::currentDateTime();
}

QDate Clock::today()
{
    return now().date();
}

void Clock::setSource(std::function<QDateTime()> s)
{
    source() = std::move(s);
}

void Clock::pin(const QDateTime& moment)
{
    pinned() = moment;
    setSource([] { return pinned(); });
}

void Clock::advance(qint64 ms)
{
    pin(now().addMSecs(ms));
}

void Clock::readZoneOnce()
{
    // Qt guards its own reads of the environment and of the zone with the
    // lock qputenv takes, so setting TZ here cannot race them.
    static const bool once = [] {
        if (!qEnvironmentVariableIsSet("TZ"))
            qputenv("TZ", ":/etc/localtime");
        return true;
    }();
    Q_UNUSED(once);
}
