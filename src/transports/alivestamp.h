#pragma once

#include "base/publictools.h"

// Alive stamps are values of curtime_qint64_2_int() (10 ms units), which wraps every 10^9
// units (about 116 days); -1 marks a stamp never written. True when the stamp lies less than
// `units` behind now, counting across the wrap.
inline bool stampWithin(int stamp, int units)
{
    constexpr int kCountWrap = 1000000000;
    if (stamp < 0)
        return false;
    int elapsed = (curtime_qint64_2_int() - stamp) % kCountWrap;
    if (elapsed < 0)
        elapsed += kCountWrap;
    return elapsed < units;
}
