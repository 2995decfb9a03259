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
// Under ASan or TSan freed memory waits in quarantine and shadow memory grows with use, so the
// resident size no longer tells what the process still holds.
constexpr bool residentSizeTracksHeap()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return false;
#else
    return true;
#endif
#else
    return true;
#endif
}
// Lifts the soft limit of open descriptors to the hard limit; returns the new soft limit.
qint64 raiseDescriptorLimit();

#endif // PROCESSRESOURCES_H
