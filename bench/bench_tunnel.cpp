// Round-trip throughput of one stream through the loopback proxy tunnel, through socat relaying
// to a plain echo server, and straight to that echo server (the loopback limit), in blocks of 1,
// 16 and 64 KiB.
//
//   h5bench_tunnel [--mib N] [--runs R] [--plot FILE]
//
// Each figure is the median of R runs of N MiB written and read back; --plot writes one line per
// block size: KiB, tunnel, socat, direct (MB/s).
#include "benchsupport.h"
#include "echorelay.h"
#include "loopclient.h"
#include "tunnelhost.h"

#include <QFile>
#include <QGuiApplication>

#include <iterator>

namespace {

struct Path
{
    const char* name;
    quint16 port;
};

double throughput(quint16 port, qint64 bytes, int blockSize, int runs)
{
    QList<double> rates;
    for (int run = 0; run < runs; ++run) {
        LoopClient::StreamResult result;
        Bench::runWhileLooping([&] { result = LoopClient::roundTrip(port, bytes, blockSize); });
        if (result.ok)
            rates.append(bytes / result.seconds / 1e6);
    }
    return Bench::median(rates); // not a number when every run failed
}

} // namespace

int main(int argc, char* argv[])
{
    Bench::useOffscreenPlatform();
    QGuiApplication app(argc, argv);
    const QVariantMap options = Bench::parseOptions(app,
        { { QStringLiteral("mib"), 32 }, { QStringLiteral("runs"), 3 },
            { QStringLiteral("plot"), QString() } });
    const qint64 bytes = options.value(QStringLiteral("mib")).toLongLong() * 1024 * 1024;
    const int runs = qMax(1, options.value(QStringLiteral("runs")).toInt());
    const QString plotFile = options.value(QStringLiteral("plot")).toString();

    EchoRelay relay;
    if (!relay.isReady())
        return 1;
    TunnelHost tunnel;
    const Path paths[] = { { "tunnel", tunnel.port() }, { "socat", relay.relayPort() },
        { "direct", relay.echoPort() } };

    QFile plot(plotFile);
    if (!plotFile.isEmpty() && !plot.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 1;
    for (int kib : { 1, 16, 64 }) {
        const QByteArray blocks = ", " + QByteArray::number(kib) + " KiB blocks";
        double rate[std::size(paths)];
        for (size_t i = 0; i < std::size(paths); ++i) {
            rate[i] = throughput(paths[i].port, bytes, kib * 1024, runs);
            Bench::printFigure("tunnel", paths[i].name + blocks, rate[i], "MB/s");
        }
        Bench::printFigure("tunnel", "tunnel/socat" + blocks, rate[0] / rate[1], "ratio");
        Bench::printFigure("tunnel", "tunnel/direct" + blocks, rate[0] / rate[2], "ratio");
        if (plot.isOpen())
            plot.write(QByteArray::number(kib) + ' ' + QByteArray::number(rate[0]) + ' '
                + QByteArray::number(rate[1]) + ' ' + QByteArray::number(rate[2]) + '\n');
    }
    return 0;
}
