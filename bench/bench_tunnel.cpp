// The tunnel as a user meets it: the reference host and the agent as two processes, talking over
// their channel, against hop-matched comparators in the same run.
//
// Echo: one stream written in 64 KiB blocks and read back, through the tunnel to an echo server
// (client, host, channel, agent, echo: three TCP hops and two relaying processes), through a chain
// of two socat relays with 64 KiB buffers (the same hops and processes), and straight to the echo
// server, whose 1 MiB buffer makes that the loopback ceiling.
//
// HTTP: downloads checked by SHA-256, N streams at once sharing the total, through host + agent +
// tinyproxy, through tinyproxy alone, and straight from the origin server.
//
// Every comparison runs in interleaved rounds (tunnel, comparator, ceiling, tunnel, ...) after a
// warm-up round; each ratio is the median of the per-round ratios, with their min and max. Beside
// each rate, the CPU time the relaying processes took per MiB carried (children included): host
// and agent for the tunnel, the socat pair or tinyproxy for the comparators.
//
//   h5bench_tunnel --host "PROGRAM ARGS" --agent "PROGRAM ARGS" [--channel-pattern REGEX]
//                  [--rounds N] [--echo-mib N] [--http-mib N] [--streams 1,10,100]
//                  [--log-dir DIR] [--plot FILE]
//
// The agent's command line may hold {upstream}, the port its tunnel connections go to; the
// host's {channel}, the first capture of --channel-pattern in the agent's output. How host and
// agent reach each other is thus given on the command line alone.
#include "benchprocess.h"
#include "benchsupport.h"
#include "echorelay.h"
#include "httpclient.h"
#include "loopclient.h"
#include "procinfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <memory>
#include <random>

namespace {

constexpr int echoBlockSize = 64 * 1024;

const QStringList quietEnvironment { QStringLiteral("QT_QPA_PLATFORM=offscreen"),
    QStringLiteral("QT_LOGGING_RULES=default.debug=false") };

/*!
 * The reference agent and host, connected, with the host's loopback proxy running: whatever
 * connects to port() is tunnelled to the agent, which connects it on to the upstream.
 */
class TunnelPair
{
public:
    TunnelPair(const QString& name, const QVariantMap& options, quint16 upstream)
        : m_agent(name + QLatin1String("-agent"), options.value(QStringLiteral("log-dir")).toString())
        , m_host(name + QLatin1String("-host"), options.value(QStringLiteral("log-dir")).toString())
    {
        QStringList agent = commandLine(options.value(QStringLiteral("agent")).toString(),
            { { QStringLiteral("upstream"), upstream } });
        if (agent.isEmpty() || !m_agent.start(agent.takeFirst(), agent, quietEnvironment))
            return;
        const QString channel = m_agent.waitFor(
            QRegularExpression(options.value(QStringLiteral("channel-pattern")).toString()));
        if (channel.isEmpty())
            return;
        QStringList host = commandLine(options.value(QStringLiteral("host")).toString(),
            { { QStringLiteral("channel"), channel } });
        if (host.isEmpty() || !m_host.start(host.takeFirst(), host, quietEnvironment))
            return;
        const quint16 port = quint16(
            m_host.waitFor(QRegularExpression(QStringLiteral("\"proxyPort\":\"(\\d+)\""))).toUInt());
        if (port && waitForListener(port))
            m_port = port;
    }

    quint16 port() const { return m_port; }
    qint64 hostProcess() const { return m_host.processId(); }
    qint64 agentProcess() const { return m_agent.processId(); }

private:
    BenchProcess m_agent;
    BenchProcess m_host;
    quint16 m_port = 0;
};

// Processes whose CPU time is counted together, with their children.
struct Meter
{
    QByteArray name;
    QList<qint64> processes;

    // Waits (up to 2 s) until no child of the run is left to be reaped: a child's time moves to
    // its parent as it is reaped, and a reading in between would miss it.
    void settle() const
    {
        for (int waited = 0; waited < 2000; waited += 10) {
            bool childless = true;
            for (const qint64 pid : processes)
                childless = childless && ProcInfo::descendants(pid).isEmpty();
            if (childless)
                return;
            QThread::msleep(10);
        }
    }

    double cpuMs() const
    {
        double ms = 0;
        for (const qint64 pid : processes)
            ms += ProcInfo::treeCpuMs(pid);
        return ms;
    }
};

struct Path
{
    const char* name;
    std::function<double()> rate; // MB/s of one run, not a number when it failed
    QList<Meter> meters;
};

/*!
 * Interleaved rounds over the paths after one warm-up round; prints each path's median rate, the
 * CPU time of each of its meters per MiB of `mib` carried in a run, and the ratio of the first
 * path to each other one. Returns the median rates.
 */
QList<double> compare(const char* group, const QByteArray& label, const QList<Path>& paths,
    int rounds, double mib)
{
    QList<QList<double>> rates;
    QList<QList<QList<double>>> cpu; // per path, per meter, per round: ms per MiB
    for (const Path& path : paths) {
        rates.append(QList<double>());
        cpu.append(QList<QList<double>>());
        for (int meter = 0; meter < path.meters.size(); ++meter)
            cpu.last().append(QList<double>());
    }
    for (int round = -1; round < rounds; ++round) {
        for (int i = 0; i < paths.size(); ++i) {
            const Path& path = paths.at(i);
            QList<double> before;
            for (const Meter& meter : path.meters)
                before.append(meter.cpuMs());
            const double rate = path.rate();
            for (const Meter& meter : path.meters)
                meter.settle();
            if (round < 0)
                continue;
            rates[i].append(rate);
            for (int meter = 0; meter < path.meters.size(); ++meter)
                cpu[i][meter].append((path.meters.at(meter).cpuMs() - before.at(meter)) / mib);
        }
    }
    QList<double> medians;
    for (int i = 0; i < paths.size(); ++i) {
        medians.append(Bench::median(rates.at(i)));
        Bench::printFigure(group, paths.at(i).name + (", " + label), medians.last(), "MB/s");
        for (int meter = 0; meter < paths.at(i).meters.size(); ++meter)
            Bench::printSpread(group,
                paths.at(i).name + (": " + paths.at(i).meters.at(meter).name) + " CPU, " + label,
                cpu.at(i).at(meter), "ms/MiB");
    }
    for (int i = 1; i < paths.size(); ++i) {
        QList<double> ratios;
        for (int round = 0; round < rounds; ++round)
            ratios.append(rates.at(0).at(round) / rates.at(i).at(round));
        Bench::printSpread(group,
            QByteArray(paths.at(0).name) + '/' + paths.at(i).name + ", " + label, ratios);
    }
    return medians;
}

// Bytes no compression or cache could shortcut, the same in every run.
QByteArray content(qint64 size)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    std::mt19937_64 random(20261208);
    auto* words = reinterpret_cast<quint64*>(bytes.data());
    for (qint64 i = 0; i < size / 8; ++i)
        words[i] = random();
    return bytes;
}

bool startTinyproxy(BenchProcess& proxy, const QString& dir, quint16 port)
{
    QFile conf(QDir(dir).filePath(QStringLiteral("tinyproxy.conf")));
    if (!conf.open(QIODevice::WriteOnly))
        return false;
    conf.write("Port " + QByteArray::number(port)
        + "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 60\nMaxClients 512\nLogLevel Warning\n");
    conf.close();
    return proxy.start(QStringLiteral("tinyproxy"), { QStringLiteral("-d"), QStringLiteral("-c"),
                                                          conf.fileName() })
        && waitForListener(port);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir scratch;
    QVariantMap options = Bench::parseOptions(app,
        { { QStringLiteral("host"), QString() }, { QStringLiteral("agent"), QString() },
            { QStringLiteral("channel-pattern"),
                QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)") },
            { QStringLiteral("rounds"), 5 }, { QStringLiteral("echo-mib"), 256 },
            { QStringLiteral("http-mib"), 256 }, { QStringLiteral("streams"), QStringLiteral("1,10,100") },
            { QStringLiteral("log-dir"), scratch.path() }, { QStringLiteral("plot"), QString() } });
    const int rounds = qMax(1, options.value(QStringLiteral("rounds")).toInt());
    const QString logDir = options.value(QStringLiteral("log-dir")).toString();
    QDir().mkpath(logDir);

    // Echo.
    {
        EchoRelay relay(logDir);
        TunnelPair tunnel(QStringLiteral("echo"), options, relay.echoPort());
        if (!relay.isReady() || !tunnel.port())
            return 1;
        const qint64 bytes = options.value(QStringLiteral("echo-mib")).toLongLong() << 20;
        const auto echo = [bytes](quint16 port) {
            return [port, bytes] {
                const LoopClient::StreamResult result
                    = LoopClient::roundTrip(port, bytes, echoBlockSize);
                return result.ok ? bytes / result.seconds / 1e6 : std::nan("");
            };
        };
        compare("echo", QByteArray::number(bytes >> 20) + " MiB round trip, 64 KiB blocks",
            { { "tunnel", echo(tunnel.port()),
                  { { "host", { tunnel.hostProcess() } }, { "agent", { tunnel.agentProcess() } } } },
                { "two socat", echo(relay.relayPort()), { { "relays", relay.relayProcesses() } } },
                { "direct", echo(relay.echoPort()), {} } },
            rounds, 2.0 * (bytes >> 20)); // each byte is carried there and back
    }

    // HTTP downloads.
    const qint64 total = options.value(QStringLiteral("http-mib")).toLongLong() << 20;
    const QByteArray data = content(total + 128); // room for the rounding up below
    QFile file(QDir(scratch.path()).filePath(QStringLiteral("download.bin")));
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return 1;
    file.close();
    BenchProcess origin(QStringLiteral("httpd"), logDir);
    if (!origin.start(QCoreApplication::applicationDirPath() + QLatin1String("/h5bench-httpd"),
            { file.fileName() }))
        return 1;
    const quint16 originPort
        = quint16(origin.waitFor(QRegularExpression(QStringLiteral("^(\\d+)"))).toUInt());
    BenchProcess proxy(QStringLiteral("tinyproxy"), logDir);
    const quint16 proxyPort = Bench::freeLoopbackPort();
    if (!originPort || !startTinyproxy(proxy, scratch.path(), proxyPort))
        return 1;
    TunnelPair tunnel(QStringLiteral("http"), options, proxyPort);
    if (!tunnel.port())
        return 1;

    QFile plot(options.value(QStringLiteral("plot")).toString());
    if (!plot.fileName().isEmpty() && !plot.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 1;
    const QStringList streamCounts
        = options.value(QStringLiteral("streams")).toString().split(QLatin1Char(','));
    for (const QString& count : streamCounts) {
        const int streams = count.toInt();
        HttpClient::Download download;
        download.size = (total + streams - 1) / streams; // no less than the total in all
        download.path = "/bytes/" + QByteArray::number(download.size);
        download.sha256 = HttpClient::sha256(data.constData(), download.size);
        const qint64 bytes = download.size * streams;
        const auto fetch = [&download, streams, bytes, originPort](quint16 port, bool viaProxy) {
            return [=] {
                const double seconds = HttpClient::run(port, viaProxy, originPort, download, streams);
                return seconds > 0 ? bytes / seconds / 1e6 : std::nan("");
            };
        };
        const QByteArray label = QByteArray::number(total >> 20) + " MiB, "
            + QByteArray::number(streams) + (streams == 1 ? " stream" : " streams");
        const Meter tinyproxy { "tinyproxy", { proxy.processId() } };
        const QList<double> medians = compare("http", label,
            { { "tunnel", fetch(tunnel.port(), true),
                  { { "host", { tunnel.hostProcess() } }, { "agent", { tunnel.agentProcess() } },
                      tinyproxy } },
                { "tinyproxy", fetch(proxyPort, true), { tinyproxy } },
                { "direct", fetch(originPort, false), {} } },
            rounds, double(bytes) / (1 << 20));
        if (plot.isOpen())
            plot.write(QByteArray::number(streams) + ' ' + QByteArray::number(medians.at(0)) + ' '
                + QByteArray::number(medians.at(1)) + ' ' + QByteArray::number(medians.at(2))
                + '\n');
    }
    return 0;
}
