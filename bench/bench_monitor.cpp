// Cost of a running memory monitor per cycle, its share of a core and its thread wake-ups, each
// net of the same host idle without players, in rounds (idle, then running). free is the
// machine's own; pkill and the volume script are stand-ins, which still cost a process start
// each, like the real commands.
//
// Then the stop: the last player destroyed at a random point of the monitor's cycle, the time
// until that destroy returns (it waits for the monitor to end), a create request right after it
// against one while another player keeps the monitor running, and how late a 1-ms timer of the
// host's event loop ticks around each of these library calls. Beside it, a client exchanges
// 1 KiB with an echo through the library's tunnel (connect, there and back; the channel answers
// from the event loop) as the last player is destroyed, against the same exchange a moment before.
//
//   h5bench_monitor [--rounds N] [--seconds S] [--idle-seconds S] [--stops N]
//
// The volume script is started detached, so its process is no child of ours; as a subreaper
// this process inherits it and reaps it, which adds its CPU time to ours.
#include "benchhost.h"
#include "benchsupport.h"
#include "loopclient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>

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

int threadCount()
{
    return QDir(QStringLiteral("/proc/self/task"))
        .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
        .size();
}

// Waits, at most 2 s, until no more than `count` threads are left: a thread that was waited for
// has ended its run but may still be leaving, and its switches would vanish from the next sample.
void waitForThreads(int count)
{
    QElapsedTimer clock;
    clock.start();
    while (threadCount() > count && clock.elapsed() < 2000)
        QThread::msleep(5);
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

/*!
 * A timer ticking every millisecond on this thread, as a host's animation or input would want
 * to: the longest gap between two ticks since reset(), less the millisecond, is how late the
 * event loop answered.
 */
class LatenessProbe
{
public:
    LatenessProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            m_longest = qMax(m_longest, m_clock.nsecsElapsed() - m_last);
            m_last = m_clock.nsecsElapsed();
        });
        m_clock.start();
        m_timer.start();
    }

    void reset()
    {
        Bench::spinEventLoop(3);
        m_longest = 0;
        m_last = m_clock.nsecsElapsed();
    }

    // How late the loop ticked around `call`, in ms; what the call queued runs meanwhile too.
    double around(const std::function<void()>& call)
    {
        reset();
        call();
        Bench::spinEventLoop(5);
        return qMax<qint64>(0, m_longest - 1000000) / 1e6;
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

double timed(const std::function<void()>& call)
{
    QElapsedTimer clock;
    clock.start();
    call();
    return clock.nsecsElapsed() / 1e6;
}

void printLatency(const QByteArray& label, const QList<double>& ms)
{
    Bench::printFigure("monitor", label + ", median", Bench::median(ms), "ms");
    Bench::printFigure("monitor", label + ", p95", Bench::percentile(ms, 0.95), "ms");
}

/*!
 * The library's tunnel with an echo at the channel's far end: every data frame the library sends
 * comes back as the same bytes, handed in from the event loop as the host's channel would.
 */
class TunnelEcho
{
public:
    explicit TunnelEcho(BenchHost& host)
        : m_host(host)
        , m_port(Bench::freeLoopbackPort())
    {
        m_echo = QObject::connect(&host.redir, &H5redir::messageToSpice, [this](const QByteArray& msg) {
            constexpr qint32 dataOut = 34;
            constexpr qint32 dataIn = 35;
            if (msg.size() < 12 || qFromLittleEndian<qint32>(msg.constData()) != dataOut)
                return;
            QByteArray answer = msg;
            qToLittleEndian(dataIn, answer.data());
            QTimer::singleShot(0, [this, answer] { m_host.send(answer); });
        });
        host.redir.onProxyPolicy(Bench::localProxyPolicy(m_port));
    }
    ~TunnelEcho()
    {
        QObject::disconnect(m_echo);
        m_host.redir.CloseSocketServer();
    }

    // One exchange from a thread of its own, started just before `meanwhile` runs here, with this
    // thread's event loop kept turning until it ends; its time in ms.
    double exchange(const std::function<void()>& meanwhile)
    {
        std::atomic<bool> done { false };
        LoopClient::StreamResult result;
        std::thread client([&] {
            result = LoopClient::roundTrip(m_port, 1024, 1024);
            done = true;
        });
        meanwhile();
        while (!done)
            Bench::spinEventLoop(1);
        client.join();
        return result.ok ? result.seconds * 1000 : std::nan("");
    }

private:
    BenchHost& m_host;
    const quint16 m_port;
    QMetaObject::Connection m_echo;
};

// The stop of the monitor with the last player, and creates around it; see the file's comment.
void measureStops(BenchHost& host, QQuickWindow& player, int stops)
{
    LatenessProbe probe;
    TunnelEcho tunnel(host);
    QList<double> usualExchangeMs;
    QList<double> exchangeAtStopMs;
    QList<double> exchangeRatio;
    QList<double> destroyMs;
    QList<double> createAfterMs;
    QList<double> createRunningMs;
    QList<double> lateCreate;
    QList<double> lateResult;
    QList<double> lateDestroy;
    QList<double> lateOtherDestroy;
    for (int i = 0; i < stops; ++i) {
        lateCreate.append(probe.around(
            [&] { createAfterMs.append(timed([&] { host.send(BenchHost::createRequest(1)); })); }));
        lateResult.append(probe.around([&] { host.redir.onCreatePlayerResult(1, true, &player); }));
        // Somewhere in the monitor's pause or reading, a second or two after its start.
        Bench::spinEventLoop(1000 + QRandomGenerator::global()->bounded(1000));
        lateCreate.append(probe.around([&] {
            createRunningMs.append(timed([&] { host.send(BenchHost::createRequest(2)); }));
        }));
        lateOtherDestroy.append(probe.around([&] { host.send(BenchHost::destroyRequest(2)); }));
        usualExchangeMs.append(tunnel.exchange([] {}));
        exchangeAtStopMs.append(tunnel.exchange([&] {
            lateDestroy.append(probe.around(
                [&] { destroyMs.append(timed([&] { host.send(BenchHost::destroyRequest(1)); })); }));
        }));
        exchangeRatio.append(exchangeAtStopMs.last() / usualExchangeMs.last());
    }
    // The first create of the loop came after no destroy.
    createAfterMs.removeFirst();
    printLatency("destroy of the last player, monitor stopped", destroyMs);
    printLatency("create right after that destroy", createAfterMs);
    printLatency("create with the monitor running", createRunningMs);
    printLatency("event-loop delay around a create request", lateCreate);
    printLatency("event-loop delay around a create result (monitor start)", lateResult);
    printLatency("event-loop delay around a destroy, monitor running", lateOtherDestroy);
    printLatency("event-loop delay around the last player's destroy (monitor stop)", lateDestroy);
    printLatency("1 KiB tunnel exchange, monitor running", usualExchangeMs);
    printLatency("1 KiB tunnel exchange at the last player's destroy", exchangeAtStopMs);
    Bench::printSpread("monitor", "1 KiB tunnel exchange, at the destroy/just before", exchangeRatio);
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
            { QStringLiteral("idle-seconds"), 1.5 }, { QStringLiteral("stops"), 20 } });
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
        const int threads = threadCount();
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
        waitForThreads(threads);
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
    measureStops(host, player, options.value(QStringLiteral("stops")).toInt());
    return cycles > 0 ? 0 : 1;
}
