#include "Clock.h"

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
