#pragma once

#include <QDateTime>

// The program's clock: the system clock plus an offset. The offset stays 0 in the program;
// tests move it to reach a day roll or a task's age without waiting.
namespace AppClock {

qint64 nowMs();              // milliseconds since 1970-01-01 UTC
QDateTime now();             // local time
void setOffsetMs(qint64 offsetMs);
qint64 offsetMs();
void setNow(const QDateTime& moment);   // sets the offset so that now() reads moment
void advanceMs(qint64 ms);

}  // namespace AppClock
