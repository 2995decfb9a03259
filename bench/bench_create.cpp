// Latency of a create request, which reads free memory by running `free -m` (the machine's own),
// split into that command's start (to its output read) and the rest of the request; and of a
// whole create / result / destroy cycle: with another player open, so the memory monitor keeps
// running, and as the last player, so the destroy waits for the monitor to stop. pkill and the
// volume script are stand-ins. Built on a copy of the library that times its free-memory reading.
//
//   h5bench_create [--creates N] [--cycles N] [--last-cycles N]
#include "benchhost.h"
#include "benchsupport.h"
#include "timedfreememory.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQuickWindow>

#include <functional>

namespace {

void printLatency(const char* name, const QList<double>& ms)
{
    Bench::printFigure("create", QByteArray(name) + ", median", Bench::median(ms), "ms");
    Bench::printFigure("create", QByteArray(name) + ", p99", Bench::percentile(ms, 0.99), "ms");
    Bench::printFigure("create", QByteArray(name) + ", samples", ms.size(), "count");
}

QList<double> timeRepeated(int times, const std::function<void()>& step)
{
    QList<double> ms;
    QElapsedTimer clock;
    for (int i = 0; i < times; ++i) {
        clock.start();
        step();
        ms.append(clock.nsecsElapsed() / 1e6);
        // Deferred deletions and queued calls run between requests, as in a host.
        QCoreApplication::processEvents();
    }
    return ms;
}

} // namespace

int main(int argc, char* argv[])
{
    Bench::useOffscreenPlatform();
    Bench::useStandIns();
    QGuiApplication app(argc, argv);
    const QVariantMap options = Bench::parseOptions(app,
        { { QStringLiteral("creates"), 200 }, { QStringLiteral("cycles"), 200 },
            { QStringLiteral("last-cycles"), 10 } });

    QQuickWindow player;
    BenchHost host;
    int requested = 0;
    QObject::connect(&host.redir, &H5redir::h5CreateNewPlayer, &app, [&] { ++requested; });

    // Each request replaces the player of the same tab, so the registry stays at one record.
    QList<double> requests;
    QList<double> freeStarts;
    QList<double> rest;
    QElapsedTimer clock;
    for (int i = 0; i < options.value(QStringLiteral("creates")).toInt(); ++i) {
        clock.start();
        host.send(BenchHost::createRequest(1));
        const double ms = clock.nsecsElapsed() / 1e6;
        requests.append(ms);
        freeStarts.append(lastFreeMemoryNs() / 1e6);
        rest.append(ms - freeStarts.last());
        QCoreApplication::processEvents();
    }
    printLatency("create request", requests);
    printLatency("create request, free -m start to its output read", freeStarts);
    printLatency("create request, the rest", rest);

    // The host answers every create request with its player window, as soon as it is asked.
    const auto cycle = [&](int tabid) {
        host.send(BenchHost::createRequest(tabid));
        host.redir.onCreatePlayerResult(tabid, true, &player);
        host.send(BenchHost::destroyRequest(tabid));
    };
    host.redir.onCreatePlayerResult(1, true, &player); // tab 1 stays open, the monitor runs
    printLatency("create/result/destroy, monitor running",
        timeRepeated(options.value(QStringLiteral("cycles")).toInt(), [&] { cycle(2); }));
    host.send(BenchHost::destroyRequest(1));
    printLatency("create/result/destroy as last player (monitor start and stop)",
        timeRepeated(options.value(QStringLiteral("last-cycles")).toInt(), [&] { cycle(2); }));
    return requested > 0 ? 0 : 1;
}
