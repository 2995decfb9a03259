#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include <QByteArray>
#include <QVariantMap>
#include <QtGlobal>

#include <functional>

class QCoreApplication;

/*!
 * Helpers shared by the benchmarks. Every figure goes to stdout as one tab-separated line,
 * "group <TAB> label <TAB> value <TAB> unit", which scripts/bench gathers into the results table.
 */
namespace Bench {

void printFigure(const char* group, const QByteArray& label, double value, const char* unit);

// A figure measured once per round (a ratio unless `unit` says otherwise): its median, then its
// min and max as two more columns.
void printSpread(const char* group, const QByteArray& label, const QList<double>& values,
    const char* unit = "ratio");

// Parses "--name value" options, one for every key of `defaults`, which holds their defaults.
QVariantMap parseOptions(const QCoreApplication& app, const QVariantMap& defaults);

// Runs the player-window and GUI parts without a display.
void useOffscreenPlatform();

// Puts the pkill stand-in first on PATH; free stays the machine's own. The volume script
// stand-in sits next to the benchmark binaries, where the library looks for the script.
void useStandIns();

// A loopback port nobody listens on right now.
quint16 freeLoopbackPort();

// The proxy policy that starts the library's loopback tunnel at `port`.
QByteArray localProxyPolicy(quint16 port);

// Runs `work` on a thread of its own while this thread's event loop keeps turning, so the
// library's objects living here stay responsive; returns when `work` has returned.
void runWhileLooping(const std::function<void()>& work);

// Turns this thread's event loop for about `ms` milliseconds.
void spinEventLoop(int ms);

// CPU time of the calling thread.
qint64 threadCpuNs();

double median(QList<double> values);
double percentile(QList<double> values, double fraction);

} // namespace Bench

#endif // BENCHSUPPORT_H
