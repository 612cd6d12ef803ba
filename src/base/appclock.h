#pragma once

#include <QDateTime>

// The program's clock: the system clock plus an offset. The offset stays 0 in the program;
// tests move it to reach a day roll or a task's age without waiting.
namespace AppClock {

qint64 nowMs();              // milliseconds since 1970-01-01 UTC
// Milliseconds on a clock that neither a change of the system time nor the offset moves: for
// spans of time (idleness, intervals), never for dates. Always above 0.
qint64 steadyMs();
QDateTime now();             // local time
void setOffsetMs(qint64 offsetMs);
qint64 offsetMs();
void setNow(const QDateTime& moment);   // sets the offset so that now() reads moment
void advanceMs(qint64 ms);

// Without TZ, the C library looks at its zone file again at every local-time conversion (Qt
// and glog make one per date, per record row, per log line). When TZ is unset this sets it once
// to the zone in use: ":/etc/localtime" when that file exists, else UTC as the library would
// take it. Call first thing in main, before any thread or log. Returns TZ as it is then.
QByteArray pinTimeZone();

}  // namespace AppClock
