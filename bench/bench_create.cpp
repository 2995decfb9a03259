// Latency of a create request, which reads free memory by running `free -m` (the machine's own),
// and of a whole create / result / destroy cycle: with another player open, so the memory
// monitor keeps running, and as the last player, so the destroy waits for the monitor to stop.
// pkill and the volume script are stand-ins.
//
//   h5bench_create [--creates N] [--cycles N] [--last-cycles N]
#include "benchsupport.h"

#include <h5redir/h5redir.h>

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQuickWindow>

#include <functional>

namespace {

QByteArray command(const char* text, int tabid)
{
    return QByteArray(text).replace("TAB", QByteArray::number(tabid));
}

void send(H5redir& redir, QByteArray msg) { redir.parseSpiceData(msg.data(), uint(msg.size())); }

const char createText[]
    = R"({"commandId":2,"id":TAB,"data":"https://video.example/2-class/a.html"})";
const char destroyText[] = R"({"commandId":26,"id":TAB})";

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
    QCommandLineParser parser;
    const QCommandLineOption createsOption(QStringLiteral("creates"), QStringLiteral("requests"),
        QStringLiteral("N"), QStringLiteral("200"));
    const QCommandLineOption cyclesOption(QStringLiteral("cycles"), QStringLiteral("cycles"),
        QStringLiteral("N"), QStringLiteral("200"));
    const QCommandLineOption lastOption(QStringLiteral("last-cycles"),
        QStringLiteral("cycles as the last player"), QStringLiteral("N"), QStringLiteral("10"));
    parser.addOptions({ createsOption, cyclesOption, lastOption });
    parser.process(app);

    QQuickWindow mainWindow;
    QQuickWindow player;
    H5redir redir;
    redir.SetZorvWindow(&mainWindow);
    redir.SetH5ChannelState(true);
    // The host answers every create request with its player window, as soon as it is asked.
    int requested = 0;
    QObject::connect(&redir, &H5redir::h5CreateNewPlayer, &app, [&] { ++requested; });

    // Each request replaces the player of the same tab, so the registry stays at one record.
    printLatency("create request (free -m)", timeRepeated(parser.value(createsOption).toInt(), [&] {
        send(redir, command(createText, 1));
    }));

    const auto cycle = [&](int tabid) {
        send(redir, command(createText, tabid));
        redir.onCreatePlayerResult(tabid, true, &player);
        send(redir, command(destroyText, tabid));
    };
    redir.onCreatePlayerResult(1, true, &player); // tab 1 stays open, the monitor runs
    printLatency("create/result/destroy, monitor running",
        timeRepeated(parser.value(cyclesOption).toInt(), [&] { cycle(2); }));
    send(redir, command(destroyText, 1));
    printLatency("create/result/destroy as last player (monitor start and stop)",
        timeRepeated(parser.value(lastOption).toInt(), [&] { cycle(2); }));
    return requested > 0 ? 0 : 1;
}
