#ifndef PROCINFO_H
#define PROCINFO_H

#include <QList>
#include <QtGlobal>

/*!
 * What /proc tells of other processes: the benchmarks' measure of the host and agent they run.
 */
namespace ProcInfo {

// User plus system CPU time of a process so far, in milliseconds.
double cpuMs(qint64 pid);
// The same, with every process below it: those running, and those it has waited for.
double treeCpuMs(qint64 pid);
// Resident set size, and proportional set size (shared pages split among their users), in KiB.
qint64 rssKiB(qint64 pid);
// The highest resident set size the process has had.
qint64 peakRssKiB(qint64 pid);
qint64 pssKiB(qint64 pid);
// Every process below `pid`: children, their children and so on.
QList<qint64> descendants(qint64 pid);
// This process's child running `program` (the file name of its executable), or 0.
qint64 childRunning(const QString& program);
// TCP bytes received by the sockets connected to this loopback port (tcp_info, read by ss).
qint64 tcpBytesFromPort(quint16 port);

} // namespace ProcInfo

#endif // PROCINFO_H
