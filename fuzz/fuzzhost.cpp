#include "fuzzhost.h"

#include <h5redir/h5redir.h>
#include "redirtesting.h"
#include "standins.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QQuickWindow>
#include <QTcpSocket>
#include <QtEndian>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int channelMessageType = 113;
constexpr qint32 proxyDataOut = 34;
constexpr int frameHeaderSize = 12;
constexpr int tunnelClients = 3;
constexpr int connectWaitMs = 10000;
constexpr int spareWindows = 2;

struct PlayerState
{
    int tabid;
    QRect rect;
    bool visible;
};

// Placed so that they overlap each other and the main window's edges.
const PlayerState players[] = {
    { 1, QRect(0, 0, 640, 360), true },
    { 2, QRect(100, 80, 320, 240), true },
    { 7, QRect(-20, 500, 800, 450), false },
};

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) { }

// A finding in the harness's own checks: abort so that libFuzzer keeps the input.
[[noreturn]] void fail(const char* what, const QByteArray& msg)
{
    std::fprintf(stderr, "fuzz host: %s: %s\n", what, msg.toHex().constData());
    std::abort();
}

} // namespace

// Every target on this host builds it before the first input, outside the time of any one input.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzHost::instance();
    return 0;
}

FuzzHost& FuzzHost::instance()
{
    // Built once and never destroyed: the process ends by exit(), with the tunnel thread still
    // running, and nothing of it must run during static destruction.
    static FuzzHost* host = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("QT_QUICK_BACKEND", "software");
        qInstallMessageHandler(dropMessage);
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
    // This build's memory reading is fixed (fixedfreememory.cpp): every create request is
    // admitted without starting a process. The stand-ins keep pkill out of reach all the same.
    connect(m_redir.get(), &H5redir::messageToSpice, this, &FuzzHost::checkOutbound);
    connect(m_redir.get(), &H5redir::h5CreateNewPlayer, this,
        [this](int tabid, int, int, int, int, const QString&) {
            m_records.insert(tabid, true);
            m_openCreates.append(tabid);
        });
    // Emitted under the registry lock: only note it.
    connect(m_redir.get(), &H5redir::h5DestroyPlayer, this,
        [this](int tabid) { m_records.insert(tabid, false); });

    m_mainWindow->setGeometry(0, 0, 1280, 800);
    m_mainWindow->create();
    m_redir->SetZorvWindow(m_mainWindow.get());
    m_redir->SetH5ChannelState(true);

    for (const PlayerState& player : players) {
        auto* window = new QQuickWindow;
        window->setParent(m_mainWindow.get());
        window->create();
        m_players.insert(player.tabid, window);
        registerPlayer(player.tabid, window);
    }
    for (int i = 0; i < spareWindows; ++i) {
        auto* window = new QQuickWindow;
        window->setParent(m_mainWindow.get());
        m_spareWindows.append(window);
    }
    startTunnel();
    settle();
}

FuzzHost::~FuzzHost() = default;

void FuzzHost::startTunnel()
{
    const quint16 port = H5Test::freeLoopbackPort();
    m_redir->onProxyPolicy(H5Test::localPolicy(port));
    QList<int> handles;
    const QObject recording; // the connection ends with this function
    connect(m_redir.get(), &H5redir::messageToSpice, &recording, [&handles](const QByteArray& msg) {
        const QJsonObject object = QJsonDocument::fromJson(msg).object();
        if (object.value(QLatin1String("commandId")).toInt() == 32)
            handles.append(object.value(QLatin1String("proxyid")).toInt());
    });
    // One at a time, each announced before the next connects: the descriptors, which are the
    // proxy ids, then come out the same in every run and the seeds can name them.
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < tunnelClients; ++i) {
        auto* client = new QTcpSocket(this);
        client->setProxy(QNetworkProxy::NoProxy);
        client->connectToHost(QHostAddress::LocalHost, port);
        if (!client->waitForConnected(connectWaitMs))
            fail("tunnel client could not connect", client->errorString().toUtf8());
        m_clients.append(client);
        while (handles.size() <= i && timer.elapsed() < connectWaitMs)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    }
    if (handles.size() < tunnelClients)
        fail("tunnel did not announce its connections", QByteArray());
    std::fprintf(stderr, "fuzz host: tunnel on port %u, proxy ids", port);
    for (int handle : qAsConst(handles))
        std::fprintf(stderr, " %d", handle);
    std::fprintf(stderr, "\n");
}

void FuzzHost::registerPlayer(int tabid, QQuickWindow* window)
{
    if (!m_records.value(tabid))
        feed(QString::asprintf(
            R"({"commandId":2,"id":%d,"data":"https://video.example/%d"})", tabid, tabid)
                 .toUtf8());
    // Reported as not created: a created player starts the memory monitor, and every destroy
    // command would then wait out the monitor's one-second sleep.
    m_redir->onCreatePlayerResult(tabid, false, window);
}

void FuzzHost::feed(const QByteArray& message)
{
    // Exactly as many bytes as the message has (QByteArray would add a terminating zero), so
    // that ASan sees every read past its end; never a null pointer, which the library refuses.
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
    QQuickWindow* window = m_spareWindows.at(qAbs(tabid) % m_spareWindows.size());
    m_redir->onCreatePlayerResult(tabid, success, window);
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
    m_openCreates.clear();
    // Collected first: each destroy updates m_records through h5DestroyPlayer.
    QList<int> strays;
    for (auto it = m_records.cbegin(); it != m_records.cend(); ++it) {
        if (it.value() && !m_players.contains(it.key()))
            strays.append(it.key());
    }
    for (int tabid : qAsConst(strays))
        feed(QString::asprintf(R"({"commandId":26,"id":%d})", tabid).toUtf8());
    for (const PlayerState& player : players) {
        QQuickWindow* window = m_players.value(player.tabid);
        if (m_redir->GetBRWindowById(player.tabid) != window)
            registerPlayer(player.tabid, window);
        int x = 0, y = 0, w = 0, h = 0;
        m_redir->GetBRDataInClip(player.tabid, x, y, w, h);
        if (QRect(x, y, w, h) != player.rect) {
            const QRect& r = player.rect;
            feed(QString::asprintf(
                R"({"commandId":22,"id":%d,"left":%d,"top":%d,"width":%d,"height":%d})",
                player.tabid, r.x(), r.y(), r.width(), r.height())
                     .toUtf8());
        }
        if (m_redir->IsVisibleTab(player.tabid) != player.visible) {
            const char* data = player.visible ? "true" : "false";
            feed(QString::asprintf(R"({"commandId":8,"id":%d,"data":%s})", player.tabid, data)
                     .toUtf8());
        }
    }
    // Only the players are left; forget the tab ids that are gone.
    m_records.clear();
    for (const PlayerState& player : players)
        m_records.insert(player.tabid, true);
}

// Whatever the input, every message the library sends must be one the server can read.
void FuzzHost::checkOutbound(const QByteArray& msg, uint type)
{
    if (type != channelMessageType)
        fail("outbound message with another type", msg);
    if (msg.isEmpty())
        fail("empty outbound message", msg);
    if (msg.size() >= frameHeaderSize
        && qFromLittleEndian<qint32>(msg.constData()) == proxyDataOut) {
        const qint32 length = qFromLittleEndian<qint32>(msg.constData() + 8);
        if (length < 1 || length != msg.size() - frameHeaderSize)
            fail("outbound frame with a wrong length", msg);
        return;
    }
    if (!QJsonDocument::fromJson(msg).isObject())
        fail("outbound message that is neither a frame nor a JSON object", msg);
}
