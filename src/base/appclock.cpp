#include "base/appclock.h"

#include <atomic>

namespace {
std::atomic<qint64> gOffsetMs{0};
}

namespace AppClock {

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch() + gOffsetMs.load();
}

QDateTime now()
{
    return QDateTime::fromMSecsSinceEpoch(nowMs());
}

void setOffsetMs(qint64 offsetMs)
{
    gOffsetMs.store(offsetMs);
}

qint64 offsetMs()
{
    return gOffsetMs.load();
}

void setNow(const QDateTime& moment)
{
    gOffsetMs.store(moment.toMSecsSinceEpoch() - QDateTime::currentMSecsSinceEpoch());
}

void advanceMs(qint64 ms)
{
    gOffsetMs.fetch_add(ms);
}

}  // namespace AppClock
