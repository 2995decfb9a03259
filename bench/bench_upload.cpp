// Local clients uploading through the library's tunnel as fast as they can, with the host's
// channel modelled in the same process as the reference host drives it: each message framed into
// a buffer of its own and queued for an asynchronous write, written in order at the channel's
// rate by a sender thread, each completion handed back to the GUI thread, where the host reports
// what it still holds unsent (SetChannelBacklog) or, as a host that never reports, does not.
//
// Each run is a process of its own, so that its memory growth is its own: the peak resident size
// less the resident size before the clients start. The tunnel's bounds are built into the
// library; other bounds are this program built against copies of the library with them
// (h5bench_upload-read64k, ...). Every comparison runs its runs in interleaved rounds after a
// warm-up round, and gives each run's rate against the first run's, round by round:
//
//   reads: one client, the channel keeps up (no rate limit): reads of 64 KiB, 256 KiB (the
//     library's) and 1 MiB against reads of whatever is there, as before the bound.
//   marks: one client, at --channel-mbps and with the channel keeping up: high/low water marks
//     around the library's 8/6 MiB, against a host that never reports (the unbounded tunnel, run
//     only --unbounded-seconds at --channel-mbps: it grows by the difference of the rates).
//   goals: 1 and 10 clients for --goal-seconds at --channel-mbps, and with the channel keeping
//     up, against the unbounded tunnel; and one client while the GUI thread is busy elsewhere
//     300 ms of every second (--gui-busy-ms), its reads waiting in that thread's queue.
//
//   h5bench_upload [--parts reads,marks,goals] [--rounds N] [--sweep-seconds S]
//                  [--goal-seconds S] [--unbounded-seconds S] [--channel-mbps R]
//   h5bench_upload --measure 1 --clients N --seconds S --channel-mbps R --report 0|1
//                  [--gui-busy-ms MS]
#include "benchsupport.h"
#include "procinfo.h"

#include <h5redir/h5redir.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

/*!
 * The host's channel: takes every message of the redirector, frames it into a buffer of its own
 * (a 4-byte length and a 4-byte type, as the reference host does) and writes the frames in order
 * at `bytesPerSecond` (0: as fast as they come) on a thread of its own. Completions come back to
 * this object's thread, where the host reports its unsent bytes when `report` is set.
 */
class ChannelModel : public QObject
{
public:
    ChannelModel(H5redir* redir, double bytesPerSecond, bool report)
        : m_redir(redir)
        , m_bytesPerSecond(bytesPerSecond)
        , m_report(report)
    {
        connect(redir, &H5redir::messageToSpice, this, &ChannelModel::take);
        if (m_report)
            redir->SetChannelBacklog(0);
        m_sender = std::thread([this] { send(); });
    }

    ~ChannelModel() override
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        m_sender.join();
    }

    qint64 delivered() const { return m_delivered; }
    int largestMessage() const { return m_largest; }

private:
    void take(const QByteArray& msg, uint type)
    {
        QByteArray frame(8 + msg.size(), Qt::Uninitialized);
        qToLittleEndian<quint32>(quint32(4 + msg.size()), frame.data());
        qToLittleEndian<quint32>(type, frame.data() + 4);
        memcpy(frame.data() + 8, msg.constData(), size_t(msg.size()));
        m_unsent += frame.size();
        if (msg.size() > 12 && qFromLittleEndian<qint32>(msg.constData()) == 34)
            m_largest = qMax(m_largest, msg.size() - 12);
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back(std::move(frame));
        }
        m_wake.notify_one();
    }

    void completed(qint64 size)
    {
        m_unsent -= size;
        if (m_report)
            m_redir->SetChannelBacklog(m_unsent);
    }

    void send()
    {
        // When the next frame may go: the channel's rate, never catching up on time it sat idle.
        Clock::time_point next = Clock::now();
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop)
                return;
            const qint64 size = m_queue.front().size();
            m_queue.pop_front(); // the frame leaves the host here
            lock.unlock();
            if (m_bytesPerSecond > 0) {
                next = std::max(next, Clock::now())
                    + std::chrono::nanoseconds(qint64(size / m_bytesPerSecond * 1e9));
                std::this_thread::sleep_until(next);
            }
            m_delivered += size;
            QMetaObject::invokeMethod(
                this, [this, size] { completed(size); }, Qt::QueuedConnection);
            lock.lock();
        }
    }

    H5redir* const m_redir;
    const double m_bytesPerSecond;
    const bool m_report;
    qint64 m_unsent = 0; // this thread only, as the host's count is
    std::atomic<qint64> m_delivered { 0 }; // bytes that left, counted as they leave
    int m_largest = 0;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<QByteArray> m_queue;
    bool m_stop = false;
    std::thread m_sender;
};

// One local client writing 256 KiB at a time as fast as the tunnel takes them, until `stop`.
void upload(quint16 port, const std::atomic<bool>& stop, std::atomic<qint64>& written)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    // A paused tunnel blocks the write; the timeout lets the client see the end of the run.
    const timeval timeout { 0, 100000 };
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const QByteArray block(256 * 1024, 'u');
        while (!stop) {
            const ssize_t n = ::send(fd, block.constData(), size_t(block.size()), MSG_NOSIGNAL);
            if (n > 0)
                written += n;
            else if (errno != EAGAIN && errno != EINTR)
                break;
        }
    }
    ::close(fd);
}

// One run in this process; prints "delivered-MB/s growth-MiB largest-message client-MB/s".
int measure(const QVariantMap& options)
{
    const int clients = options.value(QStringLiteral("clients")).toInt();
    const double seconds = options.value(QStringLiteral("seconds")).toDouble();
    H5redir redir;
    redir.SetH5ChannelState(true);
    const quint16 port = Bench::freeLoopbackPort();
    redir.onProxyPolicy(Bench::localProxyPolicy(port));
    ChannelModel channel(&redir, options.value(QStringLiteral("channel-mbps")).toDouble() * 1e6,
        options.value(QStringLiteral("report")).toBool());
    Bench::spinEventLoop(200);
    // A host whose GUI thread is now and then busy elsewhere (a player window being built).
    QTimer busy;
    const int busyMs = options.value(QStringLiteral("gui-busy-ms")).toInt();
    QObject::connect(&busy, &QTimer::timeout, [busyMs] { QThread::msleep(busyMs); });
    if (busyMs > 0)
        busy.start(1000);

    const qint64 before = ProcInfo::rssKiB(QCoreApplication::applicationPid());
    std::atomic<bool> stop { false };
    std::atomic<qint64> written { 0 };
    std::vector<std::thread> uploads;
    for (int i = 0; i < clients; ++i)
        uploads.emplace_back(upload, port, std::cref(stop), std::ref(written));
    // A swamped event loop fires the end late: rates are over the time that really passed.
    QElapsedTimer clock;
    clock.start();
    Bench::spinEventLoop(int(seconds * 1000));
    const double elapsed = clock.nsecsElapsed() / 1e9;
    const qint64 delivered = channel.delivered();
    const qint64 growth = ProcInfo::peakRssKiB(QCoreApplication::applicationPid()) - before;
    stop = true;
    for (std::thread& client : uploads)
        client.join();
    std::printf("%g %g %d %g\n", delivered / elapsed / 1e6, growth / 1024.0,
        channel.largestMessage(), written / elapsed / 1e6);
    std::fflush(stdout);
    redir.CloseSocketServer();
    return 0;
}

struct Run
{
    QByteArray name;
    QString program; // this program, or one of its variants
    QStringList arguments;
    QList<QList<double>> results
        = {}; // per round: delivered MB/s, growth MiB, largest, client MB/s
};

QStringList arguments(int clients, double seconds, double mbps, bool report)
{
    return { QStringLiteral("--clients"), QString::number(clients), QStringLiteral("--seconds"),
        QString::number(seconds), QStringLiteral("--channel-mbps"), QString::number(mbps),
        QStringLiteral("--report"), QString::number(int(report)) };
}

QList<double> column(const Run& run, int index)
{
    QList<double> values;
    for (const QList<double>& result : run.results)
        values.append(result.at(index));
    return values;
}

/*!
 * Runs every run once per round, interleaved, after a warm-up round, each in a process of its
 * own; then prints each run's figures and, round by round, its rate against the first run's.
 */
void compare(const QByteArray& group, QList<Run> runs, int rounds)
{
    for (int round = -1; round < rounds; ++round) {
        for (Run& run : runs) {
            QProcess process;
            process.start(QCoreApplication::applicationDirPath() + QLatin1Char('/') + run.program,
                QStringList { QStringLiteral("--measure"), QStringLiteral("1") } + run.arguments);
            process.waitForFinished(-1);
            QList<double> result;
            const QList<QByteArray> values = process.readAllStandardOutput().trimmed().split(' ');
            for (const QByteArray& value : values)
                result.append(value.toDouble());
            if (result.size() != 4 || process.exitCode() != 0)
                std::fprintf(
                    stderr, "upload: %s, %s failed\n", group.constData(), run.name.constData());
            else if (round >= 0)
                run.results.append(result);
        }
    }
    const QByteArray prefix = group + ", ";
    for (int i = 0; i < runs.size(); ++i) {
        const Run& run = runs.at(i);
        Bench::printSpread("upload", prefix + run.name, column(run, 0), "MB/s");
        Bench::printSpread("upload", prefix + run.name + ", growth", column(run, 1), "MiB");
        Bench::printFigure("upload", prefix + run.name + ", largest message",
            Bench::median(column(run, 2)) / 1024, "KiB");
        QList<double> ratios;
        for (int round = 0; round < qMin(run.results.size(), runs.first().results.size()); ++round)
            ratios.append(run.results.at(round).at(0) / runs.first().results.at(round).at(0));
        if (i > 0)
            Bench::printSpread("upload", prefix + run.name + "/" + runs.first().name, ratios);
    }
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QVariantMap options = Bench::parseOptions(app,
        { { QStringLiteral("measure"), 0 }, { QStringLiteral("clients"), 1 },
            { QStringLiteral("seconds"), 3 }, { QStringLiteral("report"), 1 },
            { QStringLiteral("rounds"), 3 }, { QStringLiteral("sweep-seconds"), 3 },
            { QStringLiteral("goal-seconds"), 20 }, { QStringLiteral("unbounded-seconds"), 1 },
            { QStringLiteral("channel-mbps"), 100 }, { QStringLiteral("gui-busy-ms"), 0 },
            { QStringLiteral("parts"), QStringLiteral("reads,marks,goals") } });
    if (options.value(QStringLiteral("measure")).toBool())
        return measure(options);

    const int rounds = options.value(QStringLiteral("rounds")).toInt();
    const double sweep = options.value(QStringLiteral("sweep-seconds")).toDouble();
    const double goal = options.value(QStringLiteral("goal-seconds")).toDouble();
    const double unbounded = options.value(QStringLiteral("unbounded-seconds")).toDouble();
    const double mbps = options.value(QStringLiteral("channel-mbps")).toDouble();
    const QString self = QStringLiteral("h5bench_upload");
    const auto variant = [&](const char* name) -> QString {
        return self + QLatin1Char('-') + QLatin1String(name);
    };
    const QStringList parts
        = options.value(QStringLiteral("parts")).toString().split(QLatin1Char(','));
    const QByteArray channel = QByteArray::number(mbps) + " MB/s channel";
    const QByteArray goalSeconds = QByteArray::number(goal) + " s";

    // Read size: 256 KiB is the library's own; "all" reads whatever is there, as before the bound.
    if (parts.contains(QLatin1String("reads")))
        compare("1 client, channel keeps up",
            { { "reads of all", variant("readall"), arguments(1, sweep, 0, true) },
                { "reads of 64 KiB", variant("read64k"), arguments(1, sweep, 0, true) },
                { "reads of 256 KiB", self, arguments(1, sweep, 0, true) },
                { "reads of 1 MiB", variant("read1m"), arguments(1, sweep, 0, true) } },
            rounds);
    // Water marks, high/low: 8 MiB/6 MiB are the library's own.
    if (parts.contains(QLatin1String("marks"))) {
        for (double rate : { mbps, 0.0 }) {
            const double seconds = rate > 0 ? unbounded : sweep;
            compare(rate > 0 ? "1 client, " + channel : QByteArray("1 client, channel keeps up"),
                { { "unbounded", self, arguments(1, seconds, rate, false) },
                    { "marks 2/0.5 MiB", variant("marks2m"), arguments(1, sweep, rate, true) },
                    { "marks 8/2 MiB", variant("marks8m2m"), arguments(1, sweep, rate, true) },
                    { "marks 8/6 MiB", self, arguments(1, sweep, rate, true) },
                    { "marks 16/12 MiB", variant("marks16m12m"), arguments(1, sweep, rate, true) },
                    { "marks 32/8 MiB", variant("marks32m8m"), arguments(1, sweep, rate, true) } },
                rounds);
        }
    }
    if (parts.contains(QLatin1String("goals"))) {
        for (int clients : { 1, 10 }) {
            const QByteArray label
                = QByteArray::number(clients) + (clients == 1 ? " client, " : " clients, ");
            compare(label + channel,
                { { "unbounded", self, arguments(clients, unbounded, mbps, false) },
                    { "bounded, " + goalSeconds, self, arguments(clients, goal, mbps, true) } },
                rounds);
            compare(label + "channel keeps up",
                { { "unbounded", self, arguments(clients, sweep, 0, false) },
                    { "bounded", self, arguments(clients, sweep, 0, true) } },
                rounds);
        }
        // The GUI thread busy elsewhere 300 ms of every second: the blocks read meanwhile wait
        // in its queue.
        const QStringList busy { QStringLiteral("--gui-busy-ms"), QStringLiteral("300") };
        compare("1 client, " + channel + ", GUI thread busy 300 ms a second",
            { { "unbounded", self, arguments(1, unbounded, mbps, false) + busy },
                { "bounded", self, arguments(1, sweep, mbps, true) + busy } },
            rounds);
    }
    return 0;
}
