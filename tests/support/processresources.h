#ifndef PROCESSRESOURCES_H
#define PROCESSRESOURCES_H

#include <QtGlobal>

// What the test process holds right now, read from /proc/self.
int openDescriptors();
qint64 residentKiB();
// The highest resident size since the last resetPeakResident().
qint64 peakResidentKiB();
void resetPeakResident();
// Hands freed heap back to the system, so that the resident size says what is still in use.
void releaseFreedHeap();
// Lifts the soft limit of open descriptors to the hard limit; returns the new soft limit.
qint64 raiseDescriptorLimit();

#endif // PROCESSRESOURCES_H
