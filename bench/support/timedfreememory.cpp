// The create benchmark's copy of the library reads free memory through here: the library's own
// "free -m" reading, timed, so that a create request's latency splits into that command's start
// and the rest of the request.
#include "timedfreememory.h"

#define readFreeMemory runFreeMemoryCommand
#include "../../memory/freememory.cpp"
#undef readFreeMemory

#include <QElapsedTimer>

namespace {

qint64 lastNs = 0;

} // namespace

FreeMemoryReading readFreeMemory()
{
    QElapsedTimer clock;
    clock.start();
    const FreeMemoryReading reading = runFreeMemoryCommand();
    lastNs = clock.nsecsElapsed();
    return reading;
}

qint64 lastFreeMemoryNs()
{
    return lastNs;
}
