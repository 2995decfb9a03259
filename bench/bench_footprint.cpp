// Resident memory of a host process: before it creates the redirector; idle with the library in
// use; with 16 players (each with its own hidden player window, as a host gives them); and with
// the tunnel running and 100 open, idle connections on top of that.
#include "benchhost.h"
#include "benchsupport.h"
#include "loopclient.h"
#include "procinfo.h"

#include <QGuiApplication>
#include <QQuickWindow>

#include <memory>
#include <vector>

namespace {

constexpr int players = 16;
constexpr int connections = 100;
constexpr int batch = 20;
constexpr int settleMs = 500;

void printResident(const char* state)
{
    Bench::spinEventLoop(settleMs);
    Bench::printFigure("footprint", state,
        ProcInfo::rssKiB(QCoreApplication::applicationPid()) / 1024.0, "MiB RSS");
}

} // namespace

int main(int argc, char* argv[])
{
    Bench::useOffscreenPlatform();
    Bench::useStandIns();
    QGuiApplication app(argc, argv);
    std::vector<std::unique_ptr<QQuickWindow>> windows; // outlive the redirector, as in a host
    printResident("host before creating the redirector");

    auto host = std::make_unique<BenchHost>();
    int announced = 0;
    QObject::connect(&host->redir, &H5redir::messageToSpice, &app,
        [&](const QByteArray& msg) { announced += msg.startsWith(R"({"commandId":32,)"); });
    printResident("idle, library in use, no players");

    for (int tabid = 1; tabid <= players; ++tabid) {
        host->send(BenchHost::createRequest(tabid));
        windows.push_back(std::make_unique<QQuickWindow>());
        host->redir.onCreatePlayerResult(tabid, true, windows.back().get());
    }
    printResident("16 players, memory monitor running");

    const quint16 port = Bench::freeLoopbackPort();
    host->redir.onProxyPolicy(Bench::localProxyPolicy(port));
    // In batches the listen backlog can take: a connection the backlog drops is only accepted
    // after the kernel's retries, seconds later.
    QList<int> open;
    while (open.size() < connections) {
        open += LoopClient::openIdle(port, batch);
        for (int waited = 0; announced < open.size() && waited < 5000; waited += 10)
            Bench::spinEventLoop(10);
    }
    printResident("16 players, tunnel with 100 open connections");
    LoopClient::closeAll(open);
    return announced == connections ? 0 : 1;
}
