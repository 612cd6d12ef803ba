#include "detection/mapplication.h"

#include <atomic>

namespace {
std::atomic<int> gManualStops{0};
}

void MApplication::manualStopTscTimeup()
{
    ++gManualStops;
}

int MApplication::manualStopCount()
{
    return gManualStops.load();
}
