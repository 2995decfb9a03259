// Cost of a running memory monitor per cycle, its share of a core and its thread wake-ups, each
// net of the same host idle without players, in rounds (idle, then running). free is the
// machine's own; pkill and the volume script are stand-ins, which still cost a process start
// each, like the real commands.
//
//   h5bench_monitor [--rounds N] [--seconds S] [--idle-seconds S]
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
    const QVariantMap options = Bench::parseOptions(app,
        { { QStringLiteral("rounds"), 5 }, { QStringLiteral("seconds"), 4 },
            { QStringLiteral("idle-seconds"), 1.5 } });
    const int rounds = options.value(QStringLiteral("rounds")).toInt();
    const int activeMs = int(options.value(QStringLiteral("seconds")).toDouble() * 1000);
    const int idleMs = int(options.value(QStringLiteral("idle-seconds")).toDouble() * 1000);
    const QString pkillCalls = QDir(counts.path()).filePath(QStringLiteral("pkill.calls"));
    const QString scriptCalls = QDir(counts.path()).filePath(QStringLiteral("h5setvol.calls"));

    QQuickWindow player;
    BenchHost host;
    QElapsedTimer clock;
    clock.start();
    const auto sample = [&] {
        return Sample { clock.nsecsElapsed() / 1e9, processCpuSeconds(),
            cpuSeconds(RUSAGE_CHILDREN), contextSwitches() };
    };

    // Rounds of the same host idle, then with one player and the monitor running; the monitor's
    // cost is that of the running part net of the idle rate of the same round.
    QList<double> cpuPerCycle;
    QList<double> commandsPerCycle;
    QList<double> coreShare;
    QList<double> wakeUps;
    double idleCpuRate = 0;
    double idleSwitchRate = 0;
    int cycles = 0;
    int scripts = 0;
    double seconds = 0;
    for (int round = 0; round < rounds; ++round) {
        const Sample idleStart = sample();
        Bench::spinEventLoop(idleMs);
        const Sample idleEnd = sample();
        const double idleSeconds = idleEnd.seconds - idleStart.seconds;
        idleCpuRate = (idleEnd.cpu - idleStart.cpu) / idleSeconds;
        idleSwitchRate = (idleEnd.switches - idleStart.switches) / idleSeconds;

        const int cyclesBefore = countLines(pkillCalls);
        const int scriptsBefore = countLines(scriptCalls);
        host.send(BenchHost::createRequest(1));
        const Sample start = sample();
        host.redir.onCreatePlayerResult(1, true, &player);
        Bench::spinEventLoop(activeMs);
        const Sample running = sample(); // the monitor thread still counts its switches here
        host.send(BenchHost::destroyRequest(1));
        const double activeSeconds = clock.nsecsElapsed() / 1e9 - start.seconds;
        reapOrphans();
        const double cpu = processCpuSeconds() - start.cpu - idleCpuRate * activeSeconds;
        const double commandsCpu = cpuSeconds(RUSAGE_CHILDREN) - start.childrenCpu;
        const int roundCycles = countLines(pkillCalls) - cyclesBefore;
        cycles += roundCycles;
        scripts += countLines(scriptCalls) - scriptsBefore;
        seconds += activeSeconds;
        if (roundCycles == 0)
            continue;
        cpuPerCycle.append(cpu / roundCycles * 1000);
        commandsPerCycle.append(commandsCpu / roundCycles * 1000);
        coreShare.append(cpu / activeSeconds * 100);
        wakeUps.append((running.switches - start.switches) / (running.seconds - start.seconds)
            - idleSwitchRate);
    }

    Bench::printFigure("monitor", "measured with the monitor running", seconds, "s");
    Bench::printSpread("monitor", "CPU per cycle", cpuPerCycle, "ms");
    Bench::printSpread(
        "monitor", "CPU per cycle, in the commands it starts", commandsPerCycle, "ms");
    Bench::printSpread("monitor", "share of one core", coreShare, "%");
    Bench::printSpread("monitor", "thread wake-ups", wakeUps, "1/s");
    Bench::printFigure("monitor", "cycles", cycles / seconds, "1/s");
    Bench::printFigure("monitor", "volume script starts", scripts / seconds, "1/s");
    Bench::printFigure(
        "monitor", "idle host without players, thread wake-ups", idleSwitchRate, "1/s");
    Bench::printFigure(
        "monitor", "idle host without players, CPU per minute", idleCpuRate * 60, "CPU s/min");
    return cycles > 0 ? 0 : 1;
}
