// The smallest complete host of h5redir: it plays a short server exchange into the library,
// answers every request the way a real client does, and prints the messages in both directions.
//
//   h5redir-minimal-host          the whole exchange
//   h5redir-minimal-host --check  one create request and its reply; exits non-zero without it
//
// Without a display it draws offscreen.

#include <h5redir/h5redir.h>

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QHash>
#include <QQuickWindow>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

void print(const char* direction, const QByteArray& text)
{
    std::printf("%s %s\n", direction, text.constData());
    std::fflush(stdout);
}

// A proxy data frame is binary; everything else is JSON text.
QByteArray readable(const QByteArray& msg) { return msg.startsWith('{') ? msg : msg.toHex(' '); }

const char* const exchange[] = {
    R"({"commandId":2,"id":7,"data":"https://video.example/2-class/lesson.html"})",
    R"({"commandId":22,"id":7,"left":100,"top":50,"width":400,"height":300})",
    R"({"commandId":8,"id":7,"data":true})",
    R"({"commandId":24,"id":7,"data":[{"left":100,"top":50,"width":200,"height":300}]})",
    R"({"commandId":4,"id":7,"data":"Lesson 1"})",
    R"({"commandId":26,"id":7})",
};

} // namespace

int main(int argc, char* argv[])
{
    // Player windows render with the software scene graph, which needs no GPU or display.
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The smallest complete host of h5redir: plays a short server exchange into the library "
        "and prints the messages in both directions."));
    parser.addHelpOption();
    const QCommandLineOption checkOption(QStringLiteral("check"),
        QStringLiteral("Only one create request and its reply; exit non-zero without the reply."));
    parser.addOption(checkOption);
    parser.process(app);
    const bool checkOnly = parser.isSet(checkOption);

    QQuickWindow mainWindow;
    mainWindow.setTitle(QStringLiteral("browser_Redir"));
    mainWindow.resize(800, 600);

    auto redir = std::make_unique<H5redir>();
    QHash<int, QQuickWindow*> players;
    int replies = 0;

    QObject::connect(redir.get(), &H5redir::messageToSpice, [&](const QByteArray& msg, uint type) {
        ++replies;
        print(qPrintable(QStringLiteral("client -> server [%1]").arg(type)), readable(msg));
    });
    QObject::connect(redir.get(), &H5redir::h5CreateNewPlayer,
        [&](int tabid, int, int, int, int, const QString& url) {
            std::printf("  host: create player %d for %s\n", tabid, qPrintable(url));
            std::fflush(stdout);
            auto* window = new QQuickWindow;
            window->setTitle(url);
            players.insert(tabid, window);
            redir->onCreatePlayerResult(tabid, true, window);
        });
    QObject::connect(
        redir.get(), &H5redir::h5playerWindowPos, [&](int tabid, int x, int y, int w, int h) {
            std::printf("  host: player %d at %d,%d size %dx%d\n", tabid, x, y, w, h);
            if (QQuickWindow* window = players.value(tabid))
                window->setGeometry(x, y, w, h);
        });
    QObject::connect(redir.get(), &H5redir::h5SetPlayerVisibility, [&](int tabid, bool visible) {
        std::printf("  host: player %d %s\n", tabid, visible ? "shown" : "hidden");
        if (QQuickWindow* window = players.value(tabid)) {
            window->setVisible(visible);
            if (!window->mask().isEmpty()) {
                const QRect r = window->mask().boundingRect();
                std::printf("  host: player %d mask %d,%d size %dx%d\n", tabid, r.x(), r.y(),
                    r.width(), r.height());
            }
        }
    });
    QObject::connect(redir.get(), &H5redir::h5UpdateTitle, [&](int tabid, const QString& title) {
        std::printf("  host: player %d title \"%s\"\n", tabid, qPrintable(title));
        if (QQuickWindow* window = players.value(tabid))
            window->setTitle(title);
    });
    // Runs under the library's registry lock: only the host's own bookkeeping happens here.
    QObject::connect(redir.get(), &H5redir::h5DestroyPlayer, [&](int tabid) {
        std::printf("  host: destroy player %d\n", tabid);
        if (QQuickWindow* window = players.take(tabid))
            window->deleteLater();
    });
    QObject::connect(redir.get(), &H5redir::h5SetRedirectState,
        [](bool state) { std::printf("  host: redirection %s\n", state ? "on" : "off"); });

    redir->SetZorvWindow(&mainWindow);
    redir->SetH5ChannelState(true);

    const int steps = checkOnly ? 1 : int(std::size(exchange));
    int step = 0;
    QTimer timer;
    timer.setInterval(100);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        if (step == steps) {
            timer.stop();
            redir.reset(); // releases every player and stops the memory monitor
            app.quit();
            return;
        }
        if (!checkOnly && step == steps - 1) {
            // Events the player itself raises, reported back before the server ends it.
            redir->onLoadEnd(7, true);
            redir->onUpdateTitle(7, QStringLiteral("Lesson 1 - video"));
        }
        QByteArray msg(exchange[step++]);
        print("server -> client", msg);
        redir->parseSpiceData(msg.data(), uint(msg.size()));
    });
    timer.start();
    app.exec();

    std::printf("%d message(s) sent to the server\n", replies);
    return replies > 0 ? 0 : 1;
}
