// Messages per second through parseSpiceData for a position update, a clip with three rectangles
// on a real offscreen player window, a title and a 1 KiB inbound proxy frame. scripts/bench runs
// it once with debug logging off and once with it on (to /dev/null); the first argument names
// the run in the figures.
//
//   h5bench_dispatcher [LABEL]
#include "benchhost.h"
#include "benchsupport.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QtEndian>

#include <ctime>

namespace {

constexpr int tabId = 7;
constexpr qint64 runNs = 1000 * 1000 * 1000;
constexpr int batch = 500;

qint64 threadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

struct Rate
{
    double perSecond; // wall clock
    double perCpuSecond; // this thread's CPU time, steadier on a shared machine
};

Rate rate(H5redir& redir, QByteArray msg)
{
    // Warm up the allocator, the JSON parser and the window's mask first.
    for (int i = 0; i < batch; ++i)
        redir.parseSpiceData(msg.data(), uint(msg.size()));
    qint64 count = 0;
    QElapsedTimer clock;
    clock.start();
    const qint64 cpuStart = threadCpuNs();
    do {
        for (int i = 0; i < batch; ++i)
            redir.parseSpiceData(msg.data(), uint(msg.size()));
        count += batch;
    } while (clock.nsecsElapsed() < runNs);
    return { count * 1e9 / clock.nsecsElapsed(), count * 1e9 / (threadCpuNs() - cpuStart) };
}

QByteArray inboundFrame(int payloadSize)
{
    QByteArray frame(12 + payloadSize, 'x');
    qToLittleEndian<qint32>(35, frame.data());
    qToLittleEndian<qint32>(5, frame.data() + 4);
    qToLittleEndian<qint32>(payloadSize, frame.data() + 8);
    return frame;
}

} // namespace

int main(int argc, char* argv[])
{
    Bench::useOffscreenPlatform();
    Bench::useStandIns();
    QGuiApplication app(argc, argv);
    const QByteArray label = argc > 1 ? QByteArray(argv[1]) : QByteArray("debug default");

    QQuickWindow player;
    player.setGeometry(100, 50, 640, 360);
    player.show();
    BenchHost host;
    // A host answers the signals: the figures include one call into a connected slot.
    qint64 delivered = 0;
    QObject::connect(&host.redir, &H5redir::h5playerWindowPos, &app, [&] { ++delivered; });
    QObject::connect(&host.redir, &H5redir::h5UpdateTitle, &app, [&] { ++delivered; });
    QObject::connect(&host.redir, &H5redir::signalWriteDataToSocket, &app, [&] { ++delivered; });

    host.send(BenchHost::createRequest(tabId));
    if (host.redir.IsNoBRData())
        return 1;
    // The window is stored directly: the creation result would also start the memory monitor,
    // whose commands would run beside the measurement.
    host.redir.SaveWindowInBRData(tabId, &player);

    const struct
    {
        const char* name;
        QByteArray msg;
    } messages[] = {
        { "position update",
            R"({"commandId":22,"id":7,"left":100,"top":50,"width":640,"height":360})" },
        { "clip, three rectangles",
            R"({"commandId":24,"id":7,"data":[{"left":60,"top":20,"width":120,"height":90},)"
            R"({"left":600,"top":300,"width":200,"height":200},)"
            R"({"left":300,"top":380,"width":80,"height":60}]})" },
        { "title", R"({"commandId":4,"id":7,"data":"Lesson 1: the first steps"})" },
        { "1 KiB inbound frame", inboundFrame(1024) },
    };
    for (const auto& message : messages) {
        const Rate measured = rate(host.redir, message.msg);
        const QByteArray name = message.name + (", " + label);
        Bench::printFigure("dispatcher", name, measured.perSecond, "msg/s");
        Bench::printFigure(
            "dispatcher", name + ", per CPU second", measured.perCpuSecond, "msg/CPU-s");
    }
    return delivered > 0 ? 0 : 1;
}
