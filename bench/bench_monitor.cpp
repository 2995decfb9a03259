// Cost of a running memory monitor: CPU seconds per minute and thread wake-ups per second, net of
// the same host idle without players. free is the machine's own; pkill and the volume script are
// stand-ins, which still cost a process start each, like the real commands.
//
//   h5bench_monitor [--seconds S] [--idle-seconds S]
//
// The volume script is started detached, so its process is no child of ours; as a subreaper
// this process inherits it and reaps it, which adds its CPU time to ours.
#include "benchhost.h"
#include "benchsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QThread>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>

namespace {

double cpuSeconds(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double processCpuSeconds() { return cpuSeconds(RUSAGE_SELF) + cpuSeconds(RUSAGE_CHILDREN); }

// Context switches of every thread of this process: each is a wake-up of that thread.
qint64 contextSwitches()
{
    qint64 total = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks.filePath(task + QLatin1String("/status")));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        // Files in /proc report no size: read them whole rather than until atEnd().
        const QList<QByteArray> lines = status.readAll().split('\n');
        for (const QByteArray& line : lines) {
            if (line.contains("ctxt_switches:"))
                total += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
    }
    return total;
}

// Collects the exited volume-script processes handed to this process; gives up after 2 s.
void reapOrphans()
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 2000) {
        const pid_t pid = waitpid(-1, nullptr, WNOHANG);
        if (pid < 0 && errno == ECHILD)
            return;
        if (pid <= 0)
            QThread::msleep(20);
    }
}

int countLines(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
}

struct Sample
{
    double seconds;
    double cpu;
    double childrenCpu;
    qint64 switches;
};

} // namespace

int main(int argc, char* argv[])
{
    Bench::useOffscreenPlatform();
    Bench::useStandIns();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    QTemporaryDir counts;
    qputenv("H5BENCH_COUNT_DIR", QFile::encodeName(counts.path()));
    QGuiApplication app(argc, argv);
    const QVariantMap options = Bench::parseOptions(
        app, { { QStringLiteral("seconds"), 20 }, { QStringLiteral("idle-seconds"), 5 } });

    QQuickWindow player;
    BenchHost host;
    QElapsedTimer clock;
    clock.start();
    const auto sample = [&] {
        return Sample { clock.nsecsElapsed() / 1e9, processCpuSeconds(),
            cpuSeconds(RUSAGE_CHILDREN), contextSwitches() };
    };

    const Sample idleStart = sample();
    Bench::spinEventLoop(options.value(QStringLiteral("idle-seconds")).toInt() * 1000);
    const Sample idleEnd = sample();
    const double idleSeconds = idleEnd.seconds - idleStart.seconds;
    const double idleCpuRate = (idleEnd.cpu - idleStart.cpu) / idleSeconds;
    const double idleSwitchRate = (idleEnd.switches - idleStart.switches) / idleSeconds;

    host.send(BenchHost::createRequest(1));
    const Sample start = sample();
    host.redir.onCreatePlayerResult(1, true, &player);
    Bench::spinEventLoop(options.value(QStringLiteral("seconds")).toInt() * 1000);
    const Sample running = sample(); // the monitor thread still counts its switches here
    host.send(BenchHost::destroyRequest(1));
    const double seconds = clock.nsecsElapsed() / 1e9 - start.seconds;
    reapOrphans();
    const double cpu = processCpuSeconds() - start.cpu - idleCpuRate * seconds;
    const double commandsCpu = cpuSeconds(RUSAGE_CHILDREN) - start.childrenCpu;

    const int cycles = countLines(QDir(counts.path()).filePath(QStringLiteral("pkill.calls")));
    const int scripts = countLines(QDir(counts.path()).filePath(QStringLiteral("h5setvol.calls")));
    const double switchRate
        = (running.switches - start.switches) / (running.seconds - start.seconds);
    Bench::printFigure("monitor", "measured with the monitor running", seconds, "s");
    Bench::printFigure("monitor", "CPU per minute of monitoring", cpu / seconds * 60, "CPU s/min");
    Bench::printFigure("monitor", "share of one core", cpu / seconds * 100, "%");
    Bench::printFigure("monitor", "share of one core, in the commands it starts",
        commandsCpu / seconds * 100, "%");
    Bench::printFigure("monitor", "thread wake-ups", switchRate - idleSwitchRate, "1/s");
    Bench::printFigure("monitor", "cycles", cycles / seconds, "1/s");
    Bench::printFigure("monitor", "volume script starts", scripts / seconds, "1/s");
    Bench::printFigure(
        "monitor", "idle host without players, thread wake-ups", idleSwitchRate, "1/s");
    Bench::printFigure(
        "monitor", "idle host without players, CPU per minute", idleCpuRate * 60, "CPU s/min");
    return cycles > 0 ? 0 : 1;
}
