// Many streams at once: 100 concurrent connections, each writing and reading back the same
// amount, through the tunnel and, for comparison, through socat. Reports the aggregate rate and
// the spread between the fastest and the slowest stream.
//
//   h5bench_streams [--streams S] [--mib-per-stream N]
#include "benchsupport.h"
#include "echorelay.h"
#include "loopclient.h"
#include "tunnelhost.h"

#include <QGuiApplication>

#include <algorithm>

namespace {

constexpr int blockSize = 16 * 1024;

void measure(const char* path, quint16 port, int streams, qint64 bytes)
{
    QList<LoopClient::StreamResult> results;
    Bench::runWhileLooping(
        [&] { results = LoopClient::roundTrips(port, streams, bytes, blockSize); });

    QList<double> rates;
    double wall = 0;
    int failed = 0;
    for (const LoopClient::StreamResult& result : qAsConst(results)) {
        if (!result.ok) {
            ++failed;
            continue;
        }
        rates.append(bytes / result.seconds / 1e6);
        wall = std::max(wall, result.seconds);
    }
    const QByteArray name(path);
    Bench::printFigure("streams", name + ", streams completed", rates.size(), "streams");
    if (failed)
        Bench::printFigure("streams", name + ", streams failed", failed, "streams");
    if (rates.isEmpty())
        return;
    const auto [slowest, fastest] = std::minmax_element(rates.cbegin(), rates.cend());
    Bench::printFigure("streams", name + ", aggregate", rates.size() * bytes / wall / 1e6, "MB/s");
    Bench::printFigure("streams", name + ", fastest stream", *fastest, "MB/s");
    Bench::printFigure("streams", name + ", median stream", Bench::median(rates), "MB/s");
    Bench::printFigure("streams", name + ", slowest stream", *slowest, "MB/s");
    Bench::printFigure("streams", name + ", fastest/slowest", *fastest / *slowest, "ratio");
}

} // namespace

int main(int argc, char* argv[])
{
    Bench::useOffscreenPlatform();
    QGuiApplication app(argc, argv);
    const QVariantMap options = Bench::parseOptions(
        app, { { QStringLiteral("streams"), 100 }, { QStringLiteral("mib-per-stream"), 2 } });
    const int streams = options.value(QStringLiteral("streams")).toInt();
    const qint64 bytes = options.value(QStringLiteral("mib-per-stream")).toLongLong() * 1024 * 1024;

    EchoRelay relay;
    if (!relay.isReady())
        return 1;
    TunnelHost tunnel;
    measure("tunnel", tunnel.port(), streams, bytes);
    measure("socat", relay.relayPort(), streams, bytes);
    return 0;
}
