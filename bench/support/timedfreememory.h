#ifndef TIMEDFREEMEMORY_H
#define TIMEDFREEMEMORY_H

#include <QtGlobal>

// How long the last free-memory reading of the library took, "free -m" start to its output read.
qint64 lastFreeMemoryNs();

#endif // TIMEDFREEMEMORY_H
