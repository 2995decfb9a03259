// h5redir-agent: the server side of the h5redir channel, for trying a host by hand and for the
// end-to-end tests. It is a SPICE server on loopback with one named port, plays a scenario file
// to the host that opens the port, prints every message both ways, and serves the library's
// tunnel through an upstream proxy. With --desktop the same server shows an X desktop on its
// display channel and takes the client's pointer and keyboard into it: an Xvfb of its own
// (--size, 1280x800 by default), or a display that runs (--display). With --browser, Chromium shows
// a page on that desktop in app mode and every video it plays gets a player of the client laid
// over it (BrowserWatcher); with --upstream the browser fetches through that proxy too, and the
// client is sent a proxy policy before any player, so that both reach the same network.
//
//   h5redir-agent --scenario video.jsonl [--port 0] [--port-name NAME] [--upstream 127.0.0.1:8888]
//                 [--hold] [--desktop [--size WxH | --display :N]]
//   h5redir-agent --desktop [--size WxH | --display :N] [--port 0] ...   (serves until stopped)
//   h5redir-agent --desktop --browser URL [--upstream HOST:PORT] ...     (serves until stopped)
//
// Exit status: 0 when every expectation of the scenario was met, 1 when one was not, 2 on bad
// arguments or a desktop or browser that cannot start. With --desktop, SIGTERM and SIGINT end the
// agent (and its Xvfb) cleanly: 0 unless a scenario was still running.

#include "agent.h"
#include "browserwatcher.h"
#include "desktop.h"
#include "upstreamrelay.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>
#include <QUrl>

#include <glib-unix.h>

#include <cstdio>
#include <memory>

namespace {

gboolean onStopSignal(gpointer agent)
{
    static_cast<Agent*>(agent)->stop();
    return G_SOURCE_CONTINUE;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Server-side agent simulator for h5redir hosts"));
    parser.addHelpOption();
    const QCommandLineOption scenarioOption(QStringLiteral("scenario"),
        QStringLiteral("Scenario file (JSON lines)."), QStringLiteral("file"));
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("Loopback port to listen on; 0 picks a free one."), QStringLiteral("port"),
        QStringLiteral("0"));
    const QCommandLineOption portNameOption(QStringLiteral("port-name"),
        QStringLiteral("The name of the SPICE port that carries h5redir."), QStringLiteral("name"),
        QStringLiteral("org.h5redir.channel.0"));
    const QCommandLineOption upstreamOption(QStringLiteral("upstream"),
        QStringLiteral("Where tunnelled connections go (an HTTP proxy)."),
        QStringLiteral("host:port"));
    const QCommandLineOption holdOption(
        QStringLiteral("hold"), QStringLiteral("Keep serving after the scenario passed."));
    const QCommandLineOption desktopOption(QStringLiteral("desktop"),
        QStringLiteral("Show an X desktop on the SPICE display channel, with the client's input."));
    const QCommandLineOption sizeOption(QStringLiteral("size"),
        QStringLiteral("The size of the desktop's own Xvfb."), QStringLiteral("WxH"),
        QStringLiteral("1280x800"));
    const QCommandLineOption displayOption(QStringLiteral("display"),
        QStringLiteral("Show this running X display instead of starting an Xvfb."),
        QStringLiteral(":N"));
    const QCommandLineOption browserOption(QStringLiteral("browser"),
        QStringLiteral("Open URL in Chromium on the desktop and redirect its videos (needs "
                       "--desktop); with --upstream, Chromium fetches through it too."),
        QStringLiteral("url"));
    parser.addOptions({ scenarioOption, portOption, portNameOption, upstreamOption, holdOption,
        desktopOption, sizeOption, displayOption, browserOption });
    parser.process(app);

    const bool withDesktop = parser.isSet(desktopOption);
    const QRegularExpressionMatch size
        = QRegularExpression(QStringLiteral("^([1-9][0-9]{0,4})x([1-9][0-9]{0,4})$"))
              .match(parser.value(sizeOption));
    Scenario scenario;
    QString error;
    if (!parser.isSet(scenarioOption) && !withDesktop)
        error = QStringLiteral("--scenario is required (or --desktop)");
    else if (parser.isSet(browserOption) && !withDesktop)
        error = QStringLiteral("--browser needs --desktop");
    else if (!size.hasMatch())
        error = QStringLiteral("--size wants WxH, such as 1280x800");
    else if (parser.isSet(scenarioOption))
        scenario.load(parser.value(scenarioOption), error);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "h5redir-agent: %s\n", qUtf8Printable(error));
        return 2;
    }
    const QString upstream = parser.value(upstreamOption);
    const int colon = upstream.lastIndexOf(QLatin1Char(':'));
    UpstreamRelay relay(upstream.left(colon), quint16(upstream.mid(colon + 1).toUInt()));

    // Without a scenario the agent holds: it serves the desktop until it is stopped.
    Agent agent(scenario, parser.value(portNameOption).toUtf8(), &relay,
        parser.isSet(holdOption) || !parser.isSet(scenarioOption));
    Desktop desktop;
    if (withDesktop
        && !desktop.start(agent.spiceServer(), parser.value(displayOption),
            QSize(size.captured(1).toInt(), size.captured(2).toInt()), error)) {
        std::fprintf(stderr, "h5redir-agent: %s\n", qUtf8Printable(error));
        return 2;
    }
    // After the agent and the desktop, so that it goes first: the browser ends before its display,
    // and Xlib ends the process when a display goes away under one of its connections.
    std::unique_ptr<BrowserWatcher> watcher;
    if (parser.isSet(browserOption)) {
        watcher = std::make_unique<BrowserWatcher>(desktop.displayName());
        agent.watch(watcher.get(), !upstream.isEmpty());
        if (!watcher->start(QUrl::fromUserInput(parser.value(browserOption)),
                QRect(QPoint(0, 0), desktop.size()), upstream)) {
            std::fprintf(stderr, "h5redir-agent: cannot start the browser on %s\n",
                qUtf8Printable(desktop.displayName()));
            return 2;
        }
    }
    if (!agent.listen(quint16(parser.value(portOption).toUInt()))) {
        std::fprintf(stderr, "h5redir-agent: cannot listen on port %s\n",
            qUtf8Printable(parser.value(portOption)));
        return 2;
    }
    if (withDesktop) {
        // Qt's event loop runs on GLib's main context here, as spice-server needs it to. Set
        // before the agent says it is ready, so that a stop right after that is clean too.
        g_unix_signal_add(SIGTERM, onStopSignal, &agent);
        g_unix_signal_add(SIGINT, onStopSignal, &agent);
    }
    std::printf("agent: SPICE server listening on 127.0.0.1:%u, port \"%s\"\n", agent.port(),
        qUtf8Printable(parser.value(portNameOption)));
    if (withDesktop)
        std::printf("agent: desktop %s %dx%d on the SPICE display channel\n",
            qUtf8Printable(desktop.displayName()), desktop.size().width(), desktop.size().height());
    std::fflush(stdout);
    QObject::connect(&agent, &Agent::finished, &app, &QCoreApplication::exit, Qt::QueuedConnection);
    return app.exec();
}
