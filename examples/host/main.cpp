// h5redir-host: the reference host of h5redir. It is a SPICE client that shows the server's
// desktop in its main window and sends it the user's pointer and keys, bridges one named port
// channel to the library, lays the players the server-side agent asks for over that desktop, and
// fetches a page through the library's tunnel once the agent's proxy policy sets it up.
//
//   h5redir-host --spice 127.0.0.1:PORT [--port-name NAME] [--fetch URL] [--snapshot FILE.png]
//                [--volume PERCENT] [--mute] [--quit-on-loss] [--verbose]
//                [--player webengine|pattern] [--allow-url PATTERN]...
//
// The players are pages in Qt WebEngine, which needs a display with OpenGL (Xvfb will do); the
// test pattern needs none. Players open http and https only, and nothing on this machine or its
// local networks unless an --allow-url glob (* for any characters) matches the whole URL. Without
// a display the host runs offscreen; asked for Wayland, it runs through XWayland where it can
// (avoidWayland()). Lines on standard input, "volume PERCENT" or "mute on|off", change the
// client's playback settings while it runs. The library runs h5setvol.sh from this program's
// directory, and free and pkill from PATH. Its debug lines are shown with --verbose only.

#include "referencehost.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QQuickWindow>

#include <cstdio>

namespace {

const QCommandLineOption playerOption(QStringLiteral("player"),
    QStringLiteral("The players: webengine (pages in Qt WebEngine) or pattern (a test pattern)."),
    QStringLiteral("kind"), QStringLiteral("webengine"));

// The player kind decides how the application object is set up, so it is read before there is one.
PlayerEngine::Kind playerKind(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.addOption(playerOption);
    parser.parse(arguments);
    PlayerEngine::Kind kind = PlayerEngine::WebEngine;
    PlayerEngine::parseKind(parser.value(playerOption), kind);
    return kind;
}

// Qt's Wayland platform masks what a window takes as input, not what it shows: a player would
// stay whole over what the server covers. Under XWayland the masks hold, as on X11.
void avoidWayland()
{
    if (!qgetenv("QT_QPA_PLATFORM").startsWith("wayland"))
        return;
    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty()) {
        std::printf("host: on Wayland the players' masks do not hide what the server covers, and "
                    "there is no XWayland display (DISPLAY) to run on instead\n");
    } else {
        std::printf("host: on Wayland the players' masks do not hide what the server covers: "
                    "running through XWayland on %s\n",
            display.constData());
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    const PlayerEngine::Kind player = playerKind(argc, argv);
    PlayerEngine::prepare(player);
    avoidWayland();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The software scene graph needs no GPU: the host runs alike with a display and without.
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
    QGuiApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Reference host of h5redir"));
    parser.addHelpOption();
    const QCommandLineOption spiceOption(QStringLiteral("spice"),
        QStringLiteral("The SPICE server of the agent: host:port or spice://host:port."),
        QStringLiteral("address"));
    const QCommandLineOption portNameOption(QStringLiteral("port-name"),
        QStringLiteral("The name of the SPICE port that carries h5redir."), QStringLiteral("name"),
        QString::fromUtf8(HostOptions().portName));
    const QCommandLineOption fetchOption(QStringLiteral("fetch"),
        QStringLiteral("URL to fetch once the agent's proxy policy is applied."),
        QStringLiteral("url"));
    const QCommandLineOption snapshotOption(QStringLiteral("snapshot"),
        QStringLiteral("PNG of the main window with the players in their masks."),
        QStringLiteral("file"));
    const QCommandLineOption volumeOption(QStringLiteral("volume"),
        QStringLiteral("Playback volume in percent."), QStringLiteral("percent"));
    const QCommandLineOption muteOption(QStringLiteral("mute"), QStringLiteral("Playback muted."));
    const QCommandLineOption quitOption(QStringLiteral("quit-on-loss"),
        QStringLiteral("Quit when the channel is lost instead of reconnecting; exit with 1 when "
                       "the agent cannot be reached at all."));
    const QCommandLineOption allowUrlOption(QStringLiteral("allow-url"),
        QStringLiteral("Let players open URLs that match this glob on the whole URL (* for any "
                       "characters) on this machine or its local networks. Repeatable."),
        QStringLiteral("pattern"));
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"), QStringLiteral("Show the library's debug lines too."));
    parser.addOptions({ spiceOption, portNameOption, fetchOption, snapshotOption, volumeOption,
        muteOption, quitOption, verboseOption, playerOption, allowUrlOption });
    parser.process(app);

    HostOptions options;
    options.spiceUri = parser.value(spiceOption);
    options.portName = parser.value(portNameOption).toUtf8();
    if (options.spiceUri.isEmpty() || options.portName.isEmpty()) {
        std::fprintf(
            stderr, "h5redir-host: --spice host:port (or spice://host:port) is required\n");
        return 2;
    }
    // The console shows the exchange; the library's traces are for when something is wrong.
    // QT_LOGGING_RULES still overrides this.
    if (!parser.isSet(verboseOption))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    options.fetchUrl = QUrl(parser.value(fetchOption));
    options.snapshotFile = parser.value(snapshotOption);
    options.volume = parser.isSet(volumeOption) ? parser.value(volumeOption).toInt() : -1;
    options.mute = parser.isSet(muteOption);
    options.quitOnLoss = parser.isSet(quitOption);
    options.player = player;
    options.allowedUrls = parser.values(allowUrlOption);
    if (!PlayerEngine::parseKind(parser.value(playerOption), options.player)) {
        std::fprintf(stderr, "h5redir-host: --player is webengine or pattern\n");
        return 2;
    }

    ReferenceHost host(options);
    host.start();
    return app.exec();
}
