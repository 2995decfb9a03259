// The remote desktop as a user sees it: the agent serving an Xvfb display of its own over SPICE's
// display channel, the reference host showing it on a client Xvfb. Latency from a rectangle
// filled on the server's X screen (Xlib, timed from just before the fill) to the same colour at
// that point of the client's X screen (read in a tight loop), against one X round trip on the
// client display as the floor; the agent's CPU per frame for full-screen changes and for a
// 640x360 area changing at 25 fps; bytes per second on the channel (tcp_info's bytes received by
// the host's sockets from the agent's SPICE port, all channels, read by ss) for a still desktop
// and for that video area. Interleaved rounds after a warm-up.
//
//   h5bench_desktop --host PATH --agent PATH [--size 1280x720] [--rounds 5] [--changes 200]
//                   [--frames 30] [--seconds 4] [--fps 25] [--log-dir DIR]

#include "benchprocess.h"
#include "benchsupport.h"
#include "procinfo.h"
#include "xscreen.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPainter>
#include <QRandomGenerator>
#include <QThread>

#include <memory>

#include <signal.h>

namespace {

constexpr int changeTimeoutMs = 3000;

// Where the server's screen shows on the client's: the box of the client pixels of a colour that
// fills the whole server screen, once that box stops growing.
QRect findDesktop(XScreen& server, XScreen& client, QRgb mark)
{
    server.fill(QRect(QPoint(), server.size()), mark);
    QRect found;
    for (int tries = 0; tries < 200; ++tries) {
        const QImage shot = client.grab(QRect(QPoint(), client.size()));
        QRect box;
        for (int y = 0; y < shot.height(); y += 2) {
            const auto* row = reinterpret_cast<const QRgb*>(shot.constScanLine(y));
            for (int x = 0; x < shot.width(); x += 2) {
                if (sameColour(row[x], mark, 2))
                    box |= QRect(x, y, 1, 1);
            }
        }
        if (!box.isEmpty() && box == found)
            return found.adjusted(0, 0, 1, 1); // sampled every other pixel
        found = box;
        QThread::msleep(100);
    }
    return QRect();
}

// Milliseconds from the fill to its colour at the client point, or -1 when it never showed.
double changeLatency(
    XScreen& server, XScreen& client, const QRect& rect, QRgb colour, const QPoint& clientPoint)
{
    QElapsedTimer clock;
    clock.start();
    server.fill(rect, colour);
    while (clock.elapsed() < changeTimeoutMs) {
        if (sameColour(client.pixel(clientPoint.x(), clientPoint.y()), colour))
            return clock.nsecsElapsed() / 1e6;
    }
    return -1;
}

// A colour far from the last one in every channel, so that an old frame never passes for it.
QRgb nextColour(QRgb last)
{
    return qRgb(
        (qRed(last) + 101) % 256, (qGreen(last) + 67) % 256 | 0x40, (qBlue(last) + 149) % 256);
}

// Frames of a "video": bands that move and noise that changes, as compressible as a real one is
// not.
QList<QImage> videoFrames(const QSize& size, int count)
{
    QList<QImage> frames;
    QRandomGenerator random(7);
    for (int i = 0; i < count; ++i) {
        QImage frame(size, QImage::Format_RGB32);
        QPainter painter(&frame);
        for (int x = 0; x < size.width(); x += 16)
            painter.fillRect(
                x, 0, 16, size.height(), QColor::fromHsv((x + i * 24) % 360, 200, 220));
        for (int n = 0; n < 300; ++n)
            painter.fillRect(random.bounded(size.width() - 8), random.bounded(size.height() - 8), 8,
                8, QColor::fromRgb(random.generate() | 0xff000000u));
        frames.append(frame);
    }
    return frames;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QVariantMap options = Bench::parseOptions(app,
        { { QStringLiteral("host"), QString() }, { QStringLiteral("agent"), QString() },
            { QStringLiteral("size"), QStringLiteral("1280x720") }, { QStringLiteral("rounds"), 5 },
            { QStringLiteral("changes"), 200 }, { QStringLiteral("frames"), 30 },
            { QStringLiteral("seconds"), 4 }, { QStringLiteral("fps"), 25 },
            { QStringLiteral("log-dir"), QDir::tempPath() } });
    const QString logDir = options.value(QStringLiteral("log-dir")).toString();
    QDir().mkpath(logDir);
    const int rounds = options.value(QStringLiteral("rounds")).toInt();
    const int changesPerRound = qMax(1, options.value(QStringLiteral("changes")).toInt() / rounds);
    const int frames = options.value(QStringLiteral("frames")).toInt();
    const int seconds = options.value(QStringLiteral("seconds")).toInt();
    const int fps = options.value(QStringLiteral("fps")).toInt();

    QProcess xvfb;
    const QByteArray clientDisplay = startXvfb(xvfb, QSize(1600, 1000));
    BenchProcess agent(QStringLiteral("agent"), logDir);
    agent.start(options.value(QStringLiteral("agent")).toString(),
        { QStringLiteral("--desktop"), QStringLiteral("--size"),
            options.value(QStringLiteral("size")).toString(), QStringLiteral("--port"),
            QStringLiteral("0") });
    const QString port
        = agent.waitFor(QRegularExpression(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)")));
    const QString serverDisplay
        = agent.waitFor(QRegularExpression(QStringLiteral("agent: desktop (:\\d+) ")));
    const qint64 agentPid = ProcInfo::childRunning(QStringLiteral("h5redir-agent"));
    // No players: the test pattern keeps the engine out of the host.
    BenchProcess host(QStringLiteral("host"), logDir);
    host.start(options.value(QStringLiteral("host")).toString(),
        { QStringLiteral("--spice"), QStringLiteral("127.0.0.1:") + port,
            QStringLiteral("--player"), QStringLiteral("pattern") },
        { QStringLiteral("QT_QPA_PLATFORM=xcb"),
            QStringLiteral("DISPLAY=") + QString::fromLatin1(clientDisplay) });
    host.waitFor(QRegularExpression(QStringLiteral("host: (channel connected)")));

    auto server = std::make_unique<XScreen>(serverDisplay.toLatin1());
    auto client = std::make_unique<XScreen>(clientDisplay);
    if (!server->isOpen() || !client->isOpen() || !agentPid) {
        qWarning("the server's or the client's display, or the agent, is missing");
        return 1;
    }
    QRgb colour = qRgb(0x12, 0xab, 0x34);
    const QRect desktop = findDesktop(*server, *client, colour);
    if (desktop.isEmpty()) {
        qWarning("the server's screen does not show on the client's");
        return 1;
    }
    qInfo("the server's screen shows at %d,%d %dx%d on the client's", desktop.x(), desktop.y(),
        desktop.width(), desktop.height());
    const QPoint origin = desktop.topLeft();
    const QRect area(QPoint(), desktop.size());
    const quint16 channelPort = quint16(port.toUInt());

    QList<double> floor;
    for (int i = 0; i < 200; ++i) {
        QElapsedTimer clock;
        clock.start();
        client->pixel(origin.x(), origin.y());
        floor.append(clock.nsecsElapsed() / 1e6);
    }

    const QRect videoRect(
        QPoint(qMin(100, area.width() - 640), qMin(100, area.height() - 360)), QSize(640, 360));
    const QList<QImage> video = videoFrames(videoRect.size(), 50);
    QRandomGenerator random(11);
    QList<double> latencies;
    QList<double> roundMedians;
    QList<double> fullCpu;
    QList<double> videoCpu;
    QList<double> videoRate;
    QList<double> videoBytes;
    QList<double> stillBytes;
    QList<double> stillCpu;
    int missed = 0;
    for (int round = 0; round <= rounds; ++round) {
        // Small changes at random places and moments, so that none falls into step with the
        // agent's own cycle.
        QList<double> these;
        for (int i = 0; i < changesPerRound; ++i) {
            const QRect rect(
                random.bounded(area.width() - 64), random.bounded(area.height() - 64), 64, 64);
            colour = nextColour(colour);
            const double ms = changeLatency(*server, *client, rect, colour, origin + rect.center());
            if (ms < 0)
                ++missed;
            else
                these.append(ms);
            QThread::msleep(10 + random.bounded(30));
        }
        // Full-screen changes, each waited for on the client.
        const double fullStart = ProcInfo::cpuMs(agentPid);
        for (int i = 0; i < frames; ++i) {
            colour = nextColour(colour);
            changeLatency(*server, *client, area, colour, origin + area.center());
        }
        const double full = (ProcInfo::cpuMs(agentPid) - fullStart) / frames;
        // The video area, paced by the clock.
        QElapsedTimer clock;
        const double videoStart = ProcInfo::cpuMs(agentPid);
        const qint64 bytesStart = ProcInfo::tcpBytesFromPort(channelPort);
        clock.start();
        int drawn = 0;
        while (clock.elapsed() < seconds * 1000) {
            server->put(video.at(drawn % video.size()), videoRect.topLeft());
            ++drawn;
            const qint64 due = qint64(drawn) * 1000 / fps;
            if (due > clock.elapsed())
                QThread::msleep(quint64(due - clock.elapsed()));
        }
        const double videoSeconds = clock.nsecsElapsed() / 1e9;
        const double videoFrameCpu = (ProcInfo::cpuMs(agentPid) - videoStart) / drawn;
        const double videoKBs
            = (ProcInfo::tcpBytesFromPort(channelPort) - bytesStart) / videoSeconds / 1000;
        // The same time with nothing changing; the video's last frames are let through first.
        QThread::msleep(500);
        const double stillStart = ProcInfo::cpuMs(agentPid);
        const qint64 stillBytesStart = ProcInfo::tcpBytesFromPort(channelPort);
        clock.restart();
        QThread::sleep(quint64(seconds));
        const double stillSeconds = clock.nsecsElapsed() / 1e9;
        const double stillKBs
            = (ProcInfo::tcpBytesFromPort(channelPort) - stillBytesStart) / stillSeconds / 1000;
        const double stillCpuShare = (ProcInfo::cpuMs(agentPid) - stillStart) / stillSeconds / 10;
        qInfo("round %d: change %.1f ms median, full-screen %.1f ms CPU, video %.2f ms CPU a "
              "frame at %.1f fps, %.0f kB/s, still %.1f kB/s",
            round, Bench::median(these), full, videoFrameCpu, drawn / videoSeconds, videoKBs,
            stillKBs);
        if (round == 0)
            continue;
        latencies += these;
        roundMedians.append(Bench::median(these));
        fullCpu.append(full);
        videoCpu.append(videoFrameCpu);
        videoRate.append(drawn / videoSeconds);
        videoBytes.append(videoKBs);
        stillBytes.append(stillKBs);
        stillCpu.append(stillCpuShare);
    }

    Bench::printSpread(
        "desktop", "change to the client screen, 64x64 fill, median", roundMedians, "ms");
    Bench::printFigure("desktop", "change to the client screen, 64x64 fill, p95",
        Bench::percentile(latencies, 0.95), "ms");
    Bench::printFigure("desktop", "changes never shown within 3 s", missed, "changes");
    Bench::printFigure("desktop", "one X round trip on the client display (floor), median",
        Bench::median(floor), "ms");
    Bench::printSpread("desktop", "agent CPU per full-screen frame", fullCpu, "ms");
    Bench::printSpread("desktop", "agent CPU per 640x360 video frame", videoCpu, "ms");
    Bench::printSpread("desktop", "640x360 video frames drawn on the server", videoRate, "fps");
    Bench::printSpread("desktop", "channel, 640x360 video", videoBytes, "kB/s");
    Bench::printSpread("desktop", "channel, still desktop", stillBytes, "kB/s");
    Bench::printSpread("desktop", "agent CPU, still desktop", stillCpu, "%");
    server.reset();
    client.reset(); // before its display goes
    // Killed, the agent would leave its own Xvfb behind.
    ::kill(pid_t(agentPid), SIGTERM);
    for (int waited = 0; agent.isRunning() && waited < 5000; waited += 50)
        Bench::spinEventLoop(50);
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    return 0;
}
