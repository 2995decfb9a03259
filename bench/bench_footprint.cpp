// Resident memory of a host process: before it creates the redirector; idle with the library in
// use; with 16 players (each with its own hidden player window, as a host gives them); and with
// the tunnel running and 100 open, idle connections on top of that.
#include "benchsupport.h"
#include "loopclient.h"

#include <h5redir/h5redir.h>

#include <QGuiApplication>
#include <QQuickWindow>

#include <memory>
#include <vector>

namespace {

constexpr int players = 16;
constexpr int connections = 100;
constexpr int settleMs = 500;

void printResident(const char* state)
{
    Bench::spinEventLoop(settleMs);
    Bench::printFigure("footprint", state, Bench::residentKiB() / 1024.0, "MiB RSS");
}

} // namespace

int main(int argc, char* argv[])
{
    Bench::useOffscreenPlatform();
    Bench::useStandIns();
    QGuiApplication app(argc, argv);
    QQuickWindow mainWindow;
    std::vector<std::unique_ptr<QQuickWindow>> windows; // outlive the redirector, as in a host
    printResident("host before creating the redirector");

    H5redir redir;
    int announced = 0;
    QObject::connect(&redir, &H5redir::messageToSpice, &app,
        [&](const QByteArray& msg) { announced += msg.startsWith(R"({"commandId":32,)"); });
    redir.SetZorvWindow(&mainWindow);
    redir.SetH5ChannelState(true);
    printResident("idle, library in use, no players");

    for (int tabid = 1; tabid <= players; ++tabid) {
        QByteArray create = R"({"commandId":2,"id":)" + QByteArray::number(tabid)
            + R"(,"data":"https://video.example/2-class/a.html"})";
        redir.parseSpiceData(create.data(), uint(create.size()));
        windows.push_back(std::make_unique<QQuickWindow>());
        redir.onCreatePlayerResult(tabid, true, windows.back().get());
    }
    printResident("16 players, memory monitor running");

    const quint16 port = Bench::freeLoopbackPort();
    redir.onProxyPolicy(Bench::localProxyPolicy(port));
    const QList<int> open = LoopClient::openIdle(port, connections);
    // Connections beyond the listen backlog are taken over only after the client's retry.
    for (int waited = 0; announced < connections && waited < 10000; waited += settleMs)
        Bench::spinEventLoop(settleMs);
    printResident("16 players, tunnel with 100 open connections");
    LoopClient::closeAll(open);
    return announced == connections ? 0 : 1;
}
