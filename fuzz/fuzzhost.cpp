#include "fuzzhost.h"

#include <h5redir/h5redir.h>
#include "standins.h"

#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QQuickWindow>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>

#include <cstdio>
#include <cstring>

namespace {

// Placed so that they overlap each other and the main window's edges.
const struct { int tabid; QRect rect; bool visible; } players[] = {
    { 1, QRect(0, 0, 640, 360), true }, { 2, QRect(100, 80, 320, 240), true },
    { 7, QRect(-20, 500, 800, 450), false } };

// A finding in the host's own checks: abort so that libFuzzer keeps the input.
[[noreturn]] void fail(const char* what, const QByteArray& msg)
{
    std::fprintf(stderr, "fuzz host: %s: %s\n", what, msg.toHex().constData());
    std::abort();
}

// Whatever the input, every message the library sends must be one the server can read.
void checkOutbound(const QByteArray& msg, uint type)
{
    if (type != 113 || msg.isEmpty())
        fail("outbound message of another type, or empty", msg);
    if (msg.size() >= 12 && qFromLittleEndian<qint32>(msg.constData()) == 34) {
        const qint32 length = qFromLittleEndian<qint32>(msg.constData() + 8);
        if (length < 1 || length != msg.size() - 12)
            fail("outbound frame with a wrong length", msg);
    } else if (!QJsonDocument::fromJson(msg).isObject()) {
        fail("outbound message that is neither a frame nor a JSON object", msg);
    }
}

} // namespace

FuzzHost& FuzzHost::instance()
{
    // Never destroyed: the process ends by exit() with the tunnel thread still running.
    static FuzzHost* host = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("QT_QUICK_BACKEND", "software");
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
        static int argc = 1;
        static char name[] = "h5redir-fuzz";
        static char* argv[] = { name, nullptr };
        new QGuiApplication(argc, argv);
        return new FuzzHost;
    }();
    return *host;
}

FuzzHost::FuzzHost()
    : m_standIns(std::make_unique<StandIns>())
    , m_mainWindow(std::make_unique<QQuickWindow>())
    , m_redir(std::make_unique<H5redir>())
{
    // This build's memory reading is fixed (fixedfreememory.cpp): creates start no process.
    m_mainWindow->setGeometry(0, 0, 1280, 800);
    m_mainWindow->create();
    m_redir->SetZorvWindow(m_mainWindow.get());
    m_redir->SetH5ChannelState(true);
    for (int i = 0; i < 5; ++i) {
        m_windows.append(new QQuickWindow);
        m_windows.last()->setParent(m_mainWindow.get());
        m_windows.last()->create();
    }
    startTunnel();
    connect(m_redir.get(), &H5redir::messageToSpice, this, checkOutbound);
    connect(m_redir.get(), &H5redir::h5CreateNewPlayer, this,
        [this](int tabid) { m_openCreates.append(tabid); });
    settle();
}

FuzzHost::~FuzzHost() = default;

void FuzzHost::startTunnel()
{
    QTcpServer probe;
    probe.setProxy(QNetworkProxy::NoProxy);
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    QList<int> handles;
    const auto announced = connect(m_redir.get(), &H5redir::messageToSpice, this,
        [&handles](const QByteArray& msg) {
            const QJsonDocument json = QJsonDocument::fromJson(msg);
            if (json[QLatin1String("commandId")].toInt() == 32)
                handles.append(json[QLatin1String("proxyid")].toInt());
        });
    m_redir->onProxyPolicy(R"({"enableProxy":1,"proxyIp":"127.0.0.1","proxyPort":")"
        + QByteArray::number(port) + "\"}");
    // One at a time, each announced before the next connects: the proxy ids come out the same in
    // every run, and the seeds name them.
    for (int i = 0; i < 3; ++i) {
        auto* client = new QTcpSocket(this);
        client->setProxy(QNetworkProxy::NoProxy);
        client->connectToHost(QHostAddress::LocalHost, port);
        if (!client->waitForConnected(10000))
            fail("tunnel client could not connect", client->errorString().toUtf8());
        m_clients.append(client);
        for (QDeadlineTimer deadline(10000); handles.size() <= i && !deadline.hasExpired();)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    disconnect(announced);
    if (handles.size() < 3)
        fail("tunnel did not announce its connections", QByteArray());
    std::fprintf(stderr, "fuzz host: tunnel on port %u, proxy ids %d %d %d\n", port, handles[0],
        handles[1], handles[2]);
}

void FuzzHost::feed(const QByteArray& message)
{
    // Exactly as many bytes as the message has, so that ASan sees every read past its end.
    const auto size = size_t(message.size());
    const auto bytes = std::make_unique<char[]>(qMax<size_t>(size, 1));
    std::memcpy(bytes.get(), message.constData(), size);
    m_redir->parseSpiceData(bytes.get(), uint(size));
}

void FuzzHost::answerCreate(bool success)
{
    if (m_openCreates.isEmpty())
        return;
    const int tabid = m_openCreates.takeFirst();
    m_redir->onCreatePlayerResult(tabid, success, m_windows.at(3 + qAbs(tabid % 2)));
}

void FuzzHost::pump()
{
    QCoreApplication::processEvents();
    for (QTcpSocket* client : qAsConst(m_clients))
        client->readAll();
}

void FuzzHost::settle()
{
    pump();
    m_redir->DelAllBRData();
    for (int i = 0; i < 3; ++i) {
        const QRect& r = players[i].rect;
        const QByteArray tab = QByteArray::number(players[i].tabid);
        feed(R"({"commandId":2,"id":)" + tab + R"(,"data":"https://video.example/)" + tab + "\"}");
        // The window is stored directly: a created player would start the memory monitor, and
        // every destroy command would then wait out its one-second sleep.
        m_redir->SaveWindowInBRData(players[i].tabid, m_windows.at(i));
        m_redir->SavePosInBRData(players[i].tabid, r.x(), r.y(), r.width(), r.height());
        m_redir->SaveVisibleInBRData(players[i].tabid, players[i].visible);
    }
    m_openCreates.clear();
}
