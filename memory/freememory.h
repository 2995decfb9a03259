#ifndef FREEMEMORY_H
#define FREEMEMORY_H

#include <QtGlobal>

// One reading of "free -m": the available physical memory plus the free swap, in MiB.
struct FreeMemoryReading
{
    qint64 available = 0;
    qint64 swap = 0;
    // Whether the physical-memory line had the available column, and the swap line its free one.
    bool hasAvailable = false;
    bool hasSwap = false;

    qint64 total() const { return available + swap; }
};

// Runs "free -m" (found through PATH), waiting at most 30 s for it. A missing or silent command
// reads as 0 MiB, which every caller treats as memory shortage.
FreeMemoryReading readFreeMemory();

#endif // FREEMEMORY_H
