#include "referencehost.h"

#include "desktopview.h"

#include <h5redir/h5redir.h>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QQmlEngine>
#include <QQuickItem>
#include <QScreen>

#include <cstdio>

namespace {

constexpr int fetchTimeoutMs = 20000;
// Players settle (position, visibility, mask) within a few messages; one picture per settling.
constexpr int snapshotDelayMs = 100;

void say(const QString& line)
{
    std::printf("host: %s\n", qUtf8Printable(line));
    std::fflush(stdout);
}

// Reconnecting backs off from the first delay to the last, and starts over once the port opened.
constexpr int firstRetryMs = 500;
constexpr int lastRetryMs = 8000;

} // namespace

ReferenceHost::ReferenceHost(const HostOptions& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_urlGuard(options.allowedUrls)
    , m_players(&m_mainWindow, PlayerEngine::source(options.player))
    , m_redir(std::make_unique<H5redir>())
    , m_channel(m_redir.get(), options.spiceUri, options.portName)
    , m_retryMs(firstRetryMs)
    , m_playback(m_redir.get())
{
    // onRequestActive is honoured only while a window of this title has the focus.
    m_mainWindow.setTitle(QStringLiteral("browser_Redir"));
    m_mainWindow.setResizeMode(QQuickView::SizeRootObjectToView);
    qmlRegisterType<DesktopView>("H5Host", 1, 0, "DesktopView");
    m_mainWindow.setSource(QUrl(QStringLiteral("qrc:/Main.qml")));
    m_mainWindow.resize(1024, 640);
    m_view = m_mainWindow.rootObject()->findChild<DesktopView*>();
    m_view->setDesktop(&m_desktop, &m_inputs);
    connect(m_view, &DesktopView::originChanged, this,
        [this] { m_players.setOrigin(m_view->origin()); });
    connect(&m_desktop, &SpiceDesktop::sizeChanged, this, &ReferenceHost::fitDesktop);
    connect(&m_desktop, &SpiceDesktop::problem, this,
        [](const QString& line) { say(QStringLiteral("desktop: ") + line); });
    connect(&m_inputs, &SpiceInputs::problem, this,
        [](const QString& line) { say(QStringLiteral("inputs: ") + line); });

    m_snapshotTimer.setSingleShot(true);
    m_snapshotTimer.setInterval(snapshotDelayMs);
    connect(&m_snapshotTimer, &QTimer::timeout, this, &ReferenceHost::writeSnapshot);
    connect(&m_players, &PlayerWindows::changed, &m_snapshotTimer, qOverload<>(&QTimer::start));
    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, &m_channel, &SpicePortClient::open);
    connect(&m_channel, &SpicePortClient::sessionStarted, &m_desktop, &SpiceDesktop::follow);
    connect(&m_channel, &SpicePortClient::sessionStarted, &m_inputs, &SpiceInputs::follow);
    connect(&m_channel, &SpicePortClient::portOpenChanged, this, &ReferenceHost::onChannelState);
    connect(&m_channel, &SpicePortClient::sessionEnded, this, &ReferenceHost::onSessionEnded);
    connect(&m_channel, &SpicePortClient::proxyPolicyReceived, this, &ReferenceHost::onProxyPolicy);
    connect(&m_channel, &SpicePortClient::problem, this,
        [](const QString& line) { say(QStringLiteral("channel: ") + line); });
    connectLibrary();
}

ReferenceHost::~ReferenceHost() = default;

void ReferenceHost::start()
{
    m_mainWindow.show();
    QString why;
    if (!PlayerEngine::available(m_options.player, why)) {
        say(QStringLiteral("no player engine (%1): every player is refused").arg(why));
        m_redir->SetWebEngine(false);
    } else {
        // Only where the engine can run: its profile starts the engine's processes.
        PlayerEngine::confine(m_options.player, m_urlGuard);
    }
    m_redir->SetZorvWindow(&m_mainWindow);
    m_redir->onUpdateZorvInfo(0);
    if (m_options.volume >= 0)
        m_redir->PlaybackVolumeChange(quint16(m_options.volume));
    m_redir->PlaybackMuteChange(m_options.mute);
    // The library runs it from here without telling whether it could.
    if (!QFileInfo::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/h5setvol.sh")))
        say(QStringLiteral("no h5setvol.sh beside this program: volume and mute are not applied"));
    say(QStringLiteral("connecting to the agent at %1, port \"%2\"")
            .arg(m_options.spiceUri, QString::fromUtf8(m_options.portName)));
    m_channel.open();
}

void ReferenceHost::connectLibrary()
{
    H5redir* redir = m_redir.get();
    connect(redir, &H5redir::h5CreateNewPlayer, this,
        [this, redir](int tabid, int, int, int, int, const QString& url) {
            // The server chooses the URL; the client's own files and services are not its to open.
            const QString refused = m_urlGuard.check(url);
            if (!refused.isEmpty()) {
                say(QStringLiteral("refused player %1 for %2: %3").arg(tabid).arg(url, refused));
                redir->onCreatePlayerResult(tabid, false, nullptr);
                return;
            }
            QQuickWindow* window = m_players.create(tabid, url);
            say(QStringLiteral("create player %1 for %2%3")
                    .arg(tabid)
                    .arg(url, window ? QString() : QStringLiteral(": failed")));
            redir->onCreatePlayerResult(tabid, window != nullptr, window);
        });
    connect(
        redir, &H5redir::h5playerWindowPos, this, [this](int tabid, int x, int y, int w, int h) {
            m_players.place(tabid, x, y, w, h);
            // The screen position lets a tester point at the page.
            const QPoint screen = m_players.screenPosition(tabid);
            say(QStringLiteral("player %1 at %2,%3 size %4x%5, on the screen at %6,%7")
                    .arg(tabid)
                    .arg(x)
                    .arg(y)
                    .arg(w)
                    .arg(h)
                    .arg(screen.x())
                    .arg(screen.y()));
        });
    connect(redir, &H5redir::h5SetPlayerVisibility, this, [this](int tabid, bool visible) {
        say(QStringLiteral("player %1 %2")
                .arg(tabid)
                .arg(visible ? QStringLiteral("shown") : QStringLiteral("hidden")));
        m_players.setVisible(tabid, visible);
    });
    connect(redir, &H5redir::h5UpdateTitle, this, [this](int tabid, const QString& title) {
        say(QStringLiteral("player %1 title \"%2\"").arg(tabid).arg(title));
        m_players.setTitle(tabid, title);
    });
    // Emitted under the library's registry lock: nothing here may call back into the library.
    connect(redir, &H5redir::h5DestroyPlayer, this, [this](int tabid) {
        say(QStringLiteral("destroy player %1").arg(tabid));
        m_players.destroy(tabid);
    });
    connect(redir, &H5redir::h5SetRedirectState, this, [this](bool state) {
        say(state ? QStringLiteral("redirection on") : QStringLiteral("redirection ended"));
    });
    connect(&m_players, &PlayerWindows::loadFinished, redir, &H5redir::onLoadEnd);
    connect(&m_players, &PlayerWindows::titleChanged, redir, &H5redir::onUpdateTitle);
    connect(&m_players, &PlayerWindows::urlChanged, redir, &H5redir::onUpdateUrl);
    connect(&m_players, &PlayerWindows::newViewRequested, redir, &H5redir::onNewUrl);
    connect(&m_players, &PlayerWindows::fullScreenRequested, redir, &H5redir::onRequestFullScreen);
    connect(&m_players, &PlayerWindows::errorRaised, redir, &H5redir::onRedirectError);
    connect(&m_players, &PlayerWindows::activated, redir, &H5redir::onRequestActive);
    connect(&m_players, &PlayerWindows::downloadRequested, redir, &H5redir::onRequestDownload);
    connect(&m_players, &PlayerWindows::tipRequested, redir, &H5redir::OnRequestTip);
}

void ReferenceHost::onChannelState(bool open)
{
    // The library itself hears of it from the channel (SetH5ChannelState).
    say(open ? QStringLiteral("channel connected")
             : QStringLiteral("channel lost, players released"));
    if (open) {
        m_everOpen = true;
        m_retryMs = firstRetryMs;
    } else if (m_options.quitOnLoss) {
        QCoreApplication::quit();
    } else {
        say(QStringLiteral("waiting for the agent to reconnect"));
    }
}

void ReferenceHost::onSessionEnded(const QString& reason)
{
    if (m_options.quitOnLoss) {
        if (!m_everOpen) {
            say(QStringLiteral("cannot reach the agent at %1: %2").arg(m_options.spiceUri, reason));
            QCoreApplication::exit(1);
        }
        return;
    }
    say(QStringLiteral("agent at %1: %2; reconnecting in %3 ms")
            .arg(m_options.spiceUri, reason)
            .arg(m_retryMs));
    m_reconnect.start(m_retryMs);
    m_retryMs = qMin(2 * m_retryMs, lastRetryMs);
}

void ReferenceHost::onProxyPolicy(const QByteArray& policy)
{
    say(QStringLiteral("proxy policy %1").arg(QString::fromUtf8(policy)));
    m_redir->onProxyPolicy(policy);
    if (m_options.fetchUrl.isValid()
        && QNetworkProxy::applicationProxy().type() == QNetworkProxy::HttpProxy)
        fetch();
}

void ReferenceHost::fetch()
{
    // Qt sends requests for loopback addresses directly whatever the application proxy says;
    // naming the proxy the library installed sends even those through the tunnel.
    m_network.setProxy(QNetworkProxy::applicationProxy());
    QNetworkRequest request(m_options.fetchUrl);
    request.setTransferTimeout(fetchTimeoutMs);
    QNetworkReply* reply = m_network.get(request);
    struct Received
    {
        QCryptographicHash hash { QCryptographicHash::Sha256 };
        qint64 size = 0;
        QElapsedTimer clock;
    };
    auto received = std::make_shared<Received>();
    received->clock.start();
    connect(reply, &QNetworkReply::readyRead, this, [reply, received] {
        const QByteArray bytes = reply->readAll();
        received->size += bytes.size();
        received->hash.addData(bytes);
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, received] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QString url = m_options.fetchUrl.toString();
        if (reply->error() != QNetworkReply::NoError) {
            say(QStringLiteral("fetch %1 failed: HTTP %2: %3")
                    .arg(url)
                    .arg(status)
                    .arg(reply->errorString()));
            return;
        }
        say(QStringLiteral("fetch %1: HTTP %2, %3 bytes, sha256 %4, %5 ms")
                .arg(url)
                .arg(status)
                .arg(received->size)
                .arg(QString::fromLatin1(received->hash.result().toHex()))
                .arg(received->clock.elapsed()));
    });
}

void ReferenceHost::writeSnapshot()
{
    if (m_options.snapshotFile.isEmpty() || !m_players.anyVisible())
        return;
    m_players.render([this](const QImage& image, const QStringList& notes) {
        if (!image.save(m_options.snapshotFile)) {
            say(QStringLiteral("cannot write the snapshot %1").arg(m_options.snapshotFile));
            return;
        }
        if (notes != m_snapshotNotes) {
            m_snapshotNotes = notes;
            say(QStringLiteral("snapshot %1: %2")
                    .arg(m_options.snapshotFile, notes.join(QStringLiteral("; "))));
        }
    });
}

void ReferenceHost::fitDesktop(const QSize& size)
{
    if (m_fitted || size.isEmpty())
        return;
    m_fitted = true;
    // As large as the desktop where the screen allows; a smaller window scrolls.
    m_mainWindow.resize(size.boundedTo(m_mainWindow.screen()->availableGeometry().size()));
}
