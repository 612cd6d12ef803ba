#include "base/appclock.h"

#include <QFileInfo>

#include <atomic>
#include <chrono>
#include <ctime>

namespace {
std::atomic<qint64> gOffsetMs{0};
}

namespace AppClock {

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch() + gOffsetMs.load();
}

qint64 steadyMs()
{
    // Counted from the machine's start: a first reading is never 0, which callers take for "never".
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() + 1;
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

QByteArray AppClock::pinTimeZone()
{
    if (qEnvironmentVariableIsEmpty("TZ")) {
        // The C library's own default zone file, not a machine path of the program's: it is the
        // same file whatever MOULD_ROOT says.
        const bool hasZoneFile = QFileInfo::exists(QStringLiteral("/etc/localtime"));
        qputenv("TZ", hasZoneFile ? QByteArrayLiteral(":/etc/localtime") : QByteArrayLiteral("UTC0"));
        tzset();
    }
    return qgetenv("TZ");
}
