// What a user waits for and what players cost: the reference host with real Qt WebEngine players
// on an Xvfb display of its own, driven by the agent. First frame: from the agent's create
// request to the creation result (command 3), to load finished (command 19) and to the first
// video frame in the player's rectangle on the X screen, for the first player of a fresh host and
// for later ones. Memory: the host's resident size plus the proportional size of its engine
// helpers, idle and with 1, 3 and 6 players playing.
// The page and its clip come as a user's do, through the library's tunnel: the server side's
// network (examples/page/serve: a web server and tinyproxy in a namespace of their own) is the
// agent's upstream, and the host's players reach it through the loopback proxy. With --serve
// left empty, they are served from loopback instead, which the host opens with --allow-url.
//
//   h5bench_player --host PATH --agent PATH --page WWW_DIR [--serve SCRIPT] [--rounds 5]
//                  [--later 2] [--memory-rounds 3] [--log-dir DIR]

#include "benchprocess.h"
#include "benchsupport.h"
#include "logtail.h"
#include "procinfo.h"
#include "xscreen.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <memory>

namespace {

// Where the agent asks for each player, in desktop coordinates; six fit the client screen.
QRect playerRect(int index)
{
    return QRect(20 + (index % 3) * 340, 20 + (index / 3) * 220, 320, 180);
}

// A pixel of the clip (a test pattern of saturated colours), not of the page's black, the
// engine's white or the host's blue-grey background.
bool videoPixel(QRgb c)
{
    const int high = qMax(qRed(c), qMax(qGreen(c), qBlue(c)));
    const int low = qMin(qRed(c), qMin(qGreen(c), qBlue(c)));
    return high - low > 80;
}

// Whether the video area of a player's rectangle (below the page's 40-pixel bar) shows the clip.
bool showsVideo(const QImage& shot)
{
    int video = 0;
    int all = 0;
    for (int y = 48; y < shot.height(); y += 8) {
        for (int x = 4; x < shot.width(); x += 8, ++all)
            video += videoPixel(shot.pixel(x, y)) ? 1 : 0;
    }
    return all > 0 && video * 5 >= all;
}

QByteArray line(const QByteArray& json) { return json + '\n'; }

QByteArray createSteps(int id, const QRect& rect, const QByteArray& url, int settleMs)
{
    const QByteArray tab = QByteArray::number(id);
    return line(R"({"send": {"commandId": 2, "id": )" + tab + R"(, "data": ")" + url + "\"}}")
        + line(R"({"expect": {"commandId": 3, "id": )" + tab + R"(, "data": true}})")
        + line(R"({"send": {"commandId": 22, "id": )" + tab + R"(, "left": )"
            + QByteArray::number(rect.x()) + R"(, "top": )" + QByteArray::number(rect.y())
            + R"(, "width": )" + QByteArray::number(rect.width()) + R"(, "height": )"
            + QByteArray::number(rect.height()) + "}}")
        + line(R"({"send": {"commandId": 8, "id": )" + tab + R"(, "data": true}})")
        + line(R"({"send": {"commandId": 24, "id": )" + tab + R"(, "data": []}})")
        + line(R"({"expect": {"commandId": 19, "id": )" + tab
            + R"(, "data": true}, "timeout": 30000})")
        + line(R"({"wait": )" + QByteArray::number(settleMs) + "}");
}

/*!
 * One agent and one host on the client display for one scenario; both end with this object.
 */
class Session
{
public:
    // Logs go to a folder of their own, `name` in --log-dir: a line of an earlier session's log
    // must not be read as this one's.
    Session(const QVariantMap& options, const QString& name, const QByteArray& display,
        const QByteArray& scenario, const QString& upstream, const QElapsedTimer& clock)
        : m_logDir(makeLogDir(options, name))
        , m_agent(QStringLiteral("agent"), m_logDir)
        , m_host(QStringLiteral("host"), m_logDir)
        , agentLines(m_agent.logFile(), clock)
        , hostLines(m_host.logFile(), clock)
    {
        const QString scenarioFile = QDir(m_logDir).filePath(QStringLiteral("player.jsonl"));
        QFile file(scenarioFile);
        file.open(QIODevice::WriteOnly);
        file.write(scenario);
        file.close();
        QStringList agentArguments { QStringLiteral("--scenario"), scenarioFile,
            QStringLiteral("--port"), QStringLiteral("0") };
        if (!upstream.isEmpty())
            agentArguments << QStringLiteral("--upstream") << upstream;
        m_agent.start(options.value(QStringLiteral("agent")).toString(), agentArguments);
        const QString port = m_agent.waitFor(
            QRegularExpression(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)")));
        QStringList hostArguments { QStringLiteral("--spice"), QStringLiteral("127.0.0.1:") + port,
            QStringLiteral("--quit-on-loss") };
        if (upstream.isEmpty())
            hostArguments << QStringLiteral("--allow-url") << QStringLiteral("http://127.0.0.1:*");
        // The engine draws in software on Xvfb, and its sandbox refuses to run as root.
        m_host.start(options.value(QStringLiteral("host")).toString(), hostArguments,
            { QStringLiteral("QT_QPA_PLATFORM=xcb"),
                QStringLiteral("DISPLAY=") + QString::fromLatin1(display),
                QStringLiteral("QTWEBENGINE_CHROMIUM_FLAGS=--disable-gpu"),
                QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX=1") });
        hostPid = ProcInfo::childRunning(QStringLiteral("h5redir-host"));
    }

    // Host RSS plus the PSS of every engine helper below it, in MiB.
    double memoryMiB() const
    {
        qint64 kib = ProcInfo::rssKiB(hostPid);
        const QList<qint64> helpers = ProcInfo::descendants(hostPid);
        for (const qint64 helper : helpers)
            kib += ProcInfo::pssKiB(helper);
        return kib / 1024.0;
    }

    bool running() const { return m_agent.isRunning() && m_host.isRunning(); }

private:
    static QString makeLogDir(const QVariantMap& options, const QString& name)
    {
        const QString dir
            = options.value(QStringLiteral("log-dir")).toString() + QLatin1Char('/') + name;
        QDir(dir).removeRecursively();
        QDir().mkpath(dir);
        return dir;
    }

    const QString m_logDir;
    BenchProcess m_agent;
    BenchProcess m_host;

public:
    LogTail agentLines;
    LogTail hostLines;
    qint64 hostPid = 0;
};

struct FirstFrame
{
    double resultMs = -1;
    double loadMs = -1;
    double frameMs = -1;
};

/*!
 * Follows one session's players through their first frames: reads the agent's and host's lines
 * and the client screen in one loop, so that each time is taken within a look of the screen.
 */
class FrameWatch
{
public:
    FrameWatch(Session& session, XScreen& screen, const QElapsedTimer& clock)
        : m_session(session)
        , m_screen(screen)
        , m_clock(clock)
    {
    }

    // Runs until the session ends or `done` says so; `done` is asked after every look.
    void run(const std::function<bool(const QMap<int, FirstFrame>&)>& done)
    {
        static const QRegularExpression sent(
            QStringLiteral(R"(^server -> client: \{"commandId":2,.*"id":(\d+)\}$)"));
        static const QRegularExpression received(
            QStringLiteral(R"(^client -> server: \{"commandId":(3|19),.*"id":(\d+)\}$)"));
        static const QRegularExpression placed(
            QStringLiteral(R"(player (\d+) at .* size (\d+)x(\d+), on the screen at (\d+),(\d+))"));
        const qint64 deadline = m_clock.nsecsElapsed() + 180 * 1000000000LL;
        while (m_session.running() && m_clock.nsecsElapsed() < deadline) {
            // QProcess learns of its program's end on the event loop.
            QCoreApplication::processEvents();
            for (const LogTail::Line& l : m_session.agentLines.read()) {
                const QString text = QString::fromUtf8(l.text);
                if (const auto m = sent.match(text); m.hasMatch())
                    m_started.insert(m.captured(1).toInt(), l.atNs);
                if (const auto m = received.match(text); m.hasMatch()) {
                    const int id = m.captured(2).toInt();
                    const double ms = (l.atNs - m_started.value(id)) / 1e6;
                    (m.captured(1) == QLatin1String("3") ? m_frames[id].resultMs
                                                         : m_frames[id].loadMs)
                        = ms;
                }
            }
            for (const LogTail::Line& l : m_session.hostLines.read()) {
                if (const auto m = placed.match(QString::fromUtf8(l.text)); m.hasMatch())
                    m_places.insert(m.captured(1).toInt(),
                        QRect(m.captured(4).toInt(), m.captured(5).toInt(), m.captured(2).toInt(),
                            m.captured(3).toInt()));
            }
            look();
            if (done(m_frames))
                return;
        }
    }

    const QMap<int, FirstFrame>& frames() const { return m_frames; }

private:
    void look()
    {
        bool waiting = false;
        for (auto it = m_places.cbegin(); it != m_places.cend(); ++it) {
            FirstFrame& frame = m_frames[it.key()];
            if (frame.frameMs >= 0)
                continue;
            waiting = true;
            if (showsVideo(m_screen.grab(it.value())))
                frame.frameMs = (m_clock.nsecsElapsed() - m_started.value(it.key())) / 1e6;
        }
        if (!waiting)
            QThread::usleep(500);
    }

    Session& m_session;
    XScreen& m_screen;
    const QElapsedTimer& m_clock;
    QHash<int, qint64> m_started;
    QHash<int, QRect> m_places;
    QMap<int, FirstFrame> m_frames;
};

void printParts(const QByteArray& who, const QList<FirstFrame>& frames)
{
    QList<double> result;
    QList<double> load;
    QList<double> frame;
    for (const FirstFrame& f : frames) {
        result << f.resultMs;
        load << f.loadMs;
        frame << f.frameMs;
    }
    Bench::printSpread("first frame", who + ", to the creation result", result, "ms");
    Bench::printSpread("first frame", who + ", to load finished", load, "ms");
    Bench::printSpread("first frame", who + ", to the first video frame", frame, "ms");
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QVariantMap options = Bench::parseOptions(app,
        { { QStringLiteral("host"), QString() }, { QStringLiteral("agent"), QString() },
            { QStringLiteral("page"), QString() }, { QStringLiteral("serve"), QString() },
            { QStringLiteral("rounds"), 5 },
            { QStringLiteral("later"), 2 }, { QStringLiteral("memory-rounds"), 3 },
            { QStringLiteral("log-dir"), QDir::tempPath() } });
    const QString logDir = options.value(QStringLiteral("log-dir")).toString();
    QDir().mkpath(logDir);

    QProcess xvfb;
    const QByteArray display = startXvfb(xvfb, QSize(1280, 800));
    auto screenOwner = std::make_unique<XScreen>(display);
    XScreen& screen = *screenOwner;
    if (!screen.isOpen()) {
        qWarning("no Xvfb display");
        return 1;
    }
    BenchProcess web(QStringLiteral("web"), logDir);
    QByteArray url;
    QString upstream;
    // On the tunnel's route the agent first hands the host the proxy policy.
    QByteArray policy;
    if (const QString serve = options.value(QStringLiteral("serve")).toString(); !serve.isEmpty()) {
        web.start(QStringLiteral("sh"),
            { serve, options.value(QStringLiteral("page")).toString(), logDir });
        const auto printed = [](const char* what) {
            return QRegularExpression(QLatin1String("^") + QLatin1String(what)
                    + QLatin1String(" (\\S+)$"),
                QRegularExpression::MultilineOption);
        };
        url = web.waitFor(printed("page")).toUtf8();
        upstream = web.waitFor(printed("upstream"));
        policy = line(
            R"({"policy": {"enableProxy": 1, "proxyIp": "127.0.0.1", "proxyPort": "${freePort}"}})")
            + line(R"({"expect": {"commandId": 30, "port": 0}})");
    } else {
        const quint16 webPort = Bench::freeLoopbackPort();
        web.start(QStringLiteral("python3"),
            { QStringLiteral("-m"), QStringLiteral("http.server"), QString::number(webPort),
                QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                QStringLiteral("--directory"), options.value(QStringLiteral("page")).toString() });
        waitForListener(webPort);
        url = "http://127.0.0.1:" + QByteArray::number(webPort) + "/index.html";
    }
    if (url.isEmpty())
        return 1;
    // The host connects, then idles a while before the first request, as after a user's login.
    const QByteArray idle = policy + line(R"({"wait": 3000})");

    QElapsedTimer clock;
    clock.start();

    // First frames: a fresh host per round, its first player and then later ones, each destroyed
    // before the next; round 0 warms the machine's caches and is not counted.
    const int later = options.value(QStringLiteral("later")).toInt();
    QByteArray scenario = idle;
    for (int i = 0; i <= later; ++i) {
        scenario += createSteps(7 + i, playerRect(0), url, 1500);
        scenario += line(R"({"send": {"commandId": 26, "id": )" + QByteArray::number(7 + i) + "}}");
        scenario += line(R"({"wait": 800})");
    }
    // A user's session may open with a video already playing: then the first request comes as
    // soon as the channel is up, while the host may still be starting.
    const QByteArray onConnect = policy + createSteps(7, playerRect(0), url, 1500);
    QList<FirstFrame> connected;
    QList<FirstFrame> firsts;
    QList<FirstFrame> laters;
    for (int round = 0; round <= options.value(QStringLiteral("rounds")).toInt(); ++round) {
        for (const bool atOnce : { true, false }) {
            Session session(options,
                QStringLiteral("first-frame-%1-%2")
                    .arg(round)
                    .arg(QLatin1String(atOnce ? "connect" : "idle")),
                display, atOnce ? onConnect : scenario, upstream, clock);
            FrameWatch watch(session, screen, clock);
            watch.run([&](const QMap<int, FirstFrame>&) { return false; });
            const QMap<int, FirstFrame>& frames = watch.frames();
            for (auto it = frames.cbegin(); it != frames.cend(); ++it) {
                qInfo("round %d%s, player %d: result %.0f ms, load %.0f ms, frame %.0f ms", round,
                    atOnce ? " on connect" : "", it.key(), it->resultMs, it->loadMs, it->frameMs);
                if (round > 0)
                    (atOnce ? connected : it.key() == 7 ? firsts : laters).append(*it);
            }
        }
    }
    printParts("first player of a fresh host, requested on connecting", connected);
    printParts("first player of a fresh host", firsts);
    printParts("later player", laters);

    // Memory: an idle host, connected; then players added one by one, each measured a few seconds
    // after its page loaded.
    const QByteArray idleScenario = idle + line(R"({"wait": 3000})");
    QByteArray playing = idle;
    for (int i = 0; i < 6; ++i)
        playing += createSteps(7 + i, playerRect(i), url, 4000);
    const QList<int> counts { 1, 3, 6 };
    QList<double> idleHost;
    QMap<int, QList<double>> perPlayers;
    for (int round = 0; round < options.value(QStringLiteral("memory-rounds")).toInt(); ++round) {
        {
            Session session(
                options, QStringLiteral("idle-%1").arg(round), display, idleScenario, upstream, clock);
            Bench::spinEventLoop(5000);
            idleHost.append(session.memoryMiB());
        }
        Session session(
            options, QStringLiteral("players-%1").arg(round), display, playing, upstream, clock);
        FrameWatch watch(session, screen, clock);
        QMap<int, qint64> measureAt;
        watch.run([&](const QMap<int, FirstFrame>& frames) {
            for (const int n : counts) {
                const FirstFrame last = frames.value(6 + n);
                if (last.loadMs >= 0 && !measureAt.contains(n))
                    measureAt.insert(n, clock.elapsed() + 3000);
                if (measureAt.contains(n) && clock.elapsed() >= measureAt.value(n)
                    && perPlayers.value(n).size() <= round)
                    perPlayers[n].append(session.memoryMiB());
            }
            return perPlayers.value(6).size() > round;
        });
        qInfo("memory round %d: idle %.0f MiB, 6 players %.0f MiB", round, idleHost.constLast(),
            perPlayers.value(6).value(round));
    }
    Bench::printSpread("player memory", "idle host", idleHost, "MiB");
    for (const int n : counts)
        Bench::printSpread("player memory",
            QByteArray::number(n) + (n == 1 ? " playing player" : " playing players"),
            perPlayers.value(n), "MiB");
    screenOwner.reset(); // before its display goes
    xvfb.terminate();
    xvfb.waitForFinished(5000);
    return 0;
}
