#include "browserwatcher.h"

#include <QDateTime>
#include <QFile>
#include <QFileSystemWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegion>
#include <QWebSocket>

#include <functional>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr int cmdCreatePlayer = 2;
constexpr int cmdCreateResult = 3;
constexpr int cmdSetTitle = 4;
constexpr int cmdSetVisible = 8;
constexpr int cmdRedirectError = 21;
constexpr int cmdSetPosition = 22;
constexpr int cmdClipRegion = 24;
constexpr int cmdDestroyPlayer = 26;
constexpr int lowMemoryStop = 2;

// The isolated world the script runs in, and the binding it reports through.
const QString worldName = QStringLiteral("h5redir");
const QString bindingName = QStringLiteral("h5redirReport");

QRectF rectFrom(const QJsonValue& value)
{
    const QJsonArray a = value.toArray();
    return QRectF(a.at(0).toDouble(), a.at(1).toDouble(), a.at(2).toDouble(), a.at(3).toDouble());
}

QJsonObject rectObject(const QRect& rect)
{
    return { { QStringLiteral("left"), rect.left() }, { QStringLiteral("top"), rect.top() },
        { QStringLiteral("width"), rect.width() }, { QStringLiteral("height"), rect.height() } };
}

QString jsString(const QString& text)
{
    const QByteArray array = QJsonDocument(QJsonArray { text }).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

// Why a video cannot be shown by a player that loads a URL; empty when it can, or while it has no
// source yet.
QString refusal(bool stream, const QUrl& source)
{
    if (stream)
        return QStringLiteral("it shows a media stream, which has no URL");
    if (source.scheme() == QLatin1String("blob"))
        return QStringLiteral(
            "it is fed by Media Source (a blob: URL) that only its page can play");
    if (source.isEmpty() || source.scheme() == QLatin1String("http")
        || source.scheme() == QLatin1String("https"))
        return QString();
    return QStringLiteral("its source is a %1: URL, not http(s)").arg(source.scheme());
}

// Places a page's CSS pixels on the X screen. The viewport fills the window but for what the
// browser puts above it (its own title bar, tab strip, info bars) and equal borders left, right
// and below, if any. Where the viewport lies in the window comes from the page's own figures:
// they agree with each other while a resize is under way and the X window's size does not yet.
// The window's size is in device-independent pixels, which are the X server's at the device scale
// factor 1 that the browser takes on a display of 96 dpi.
class ViewportMap
{
public:
    ViewportMap(const QPoint& window, const QSizeF& outer, const QSizeF& viewport, double dpr)
        : m_dpr(dpr)
    {
        const double side = (outer.width() - viewport.width()) / 2;
        m_origin
            = QPointF(window.x() + side, window.y() + outer.height() - viewport.height() - side);
    }

    // Each edge is rounded on its own, as the browser snaps boxes to device pixels.
    QRect map(const QRectF& rect) const
    {
        const int left = qRound(m_origin.x() + rect.left() * m_dpr);
        const int top = qRound(m_origin.y() + rect.top() * m_dpr);
        return QRect(left, top, qRound(m_origin.x() + rect.right() * m_dpr) - left,
            qRound(m_origin.y() + rect.bottom() * m_dpr) - top);
    }

private:
    QPointF m_origin;
    double m_dpr;
};

} // namespace

/*!
 * The browser process, which ends with the process that started it, however that one ends.
 */
class BrowserProcess : public QProcess
{
public:
    using QProcess::QProcess;

protected:
    // Runs in the forked child before exec: async-signal-safe calls only. The setting survives
    // the exec of Debian's wrapper script, which execs the browser in turn.
    void setupChildProcess() override { prctl(PR_SET_PDEATHSIG, SIGTERM); }
};

/*!
 * One DevTools connection to the whole browser, which the sessions of its pages share (flat
 * mode). It matches each answer to its command's callback and hands every event to its owner;
 * the socket's own state is left to the owner.
 */
class DevToolsLink
{
public:
    using Callback = std::function<void(const QJsonObject& result)>;
    using EventHandler = std::function<void(const QString&, const QJsonObject&, const QString&)>;
    using FailureHandler = std::function<void(const QString&)>;

    DevToolsLink(EventHandler onEvent, FailureHandler onFailure)
        : m_onEvent(std::move(onEvent))
        , m_onFailure(std::move(onFailure))
    {
        QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &m_socket,
            [this](const QString& text) { receive(text); });
    }

    QWebSocket& socket() { return m_socket; }

    // A failed command is reported, unless quiet, and its callback not called.
    void call(const QString& method, const QJsonObject& params, const QString& session = QString(),
        Callback callback = Callback(), bool quiet = false)
    {
        QJsonObject command { { QStringLiteral("id"), ++m_lastId },
            { QStringLiteral("method"), method }, { QStringLiteral("params"), params } };
        if (!session.isEmpty())
            command.insert(QStringLiteral("sessionId"), session);
        m_pending.insert(m_lastId, { method, std::move(callback), quiet });
        m_socket.sendTextMessage(
            QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Compact)));
    }

private:
    struct Pending
    {
        QString method;
        Callback callback;
        bool quiet = false;
    };

    void receive(const QString& text)
    {
        const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
        if (!message.contains(QLatin1String("id"))) {
            m_onEvent(message.value(QLatin1String("method")).toString(),
                message.value(QLatin1String("params")).toObject(),
                message.value(QLatin1String("sessionId")).toString());
            return;
        }
        const Pending pending = m_pending.take(message.value(QLatin1String("id")).toInt());
        const QJsonValue error = message.value(QLatin1String("error"));
        if (!error.isUndefined()) {
            if (!pending.quiet)
                m_onFailure(pending.method + QStringLiteral(" failed: ")
                    + error.toObject().value(QLatin1String("message")).toString());
        } else if (pending.callback) {
            pending.callback(message.value(QLatin1String("result")).toObject());
        }
    }

    EventHandler m_onEvent;
    FailureHandler m_onFailure;
    int m_lastId = 0;
    QHash<int, Pending> m_pending;
    // Last, so that it goes first: a socket being destroyed may still report its disconnection.
    QWebSocket m_socket;
};

BrowserWatcher::BrowserWatcher(const QString& display, QObject* parent)
    : QObject(parent)
    , m_display(display)
    , m_browser(new BrowserProcess(this))
{
    QFile script(QStringLiteral(":/watcher.js"));
    if (script.open(QIODevice::ReadOnly))
        m_script = QString::fromUtf8(script.readAll());
    connect(&m_stack, &XWindowStack::changed, this, &BrowserWatcher::onStackChanged);
    // finished() is overloaded in Qt 5.
    connect(m_browser, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
        [this](int code) {
            endBrowser(QStringLiteral("the browser ended with status %1").arg(code));
        });
    connect(m_browser, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            endBrowser(QStringLiteral("the browser did not start: ") + m_browser->errorString());
    });
}

BrowserWatcher::~BrowserWatcher()
{
    // Players end with the watcher's owner, which tells the client if it still can.
    m_ended = true;
    m_devTools.reset();
    if (m_browser->state() != QProcess::NotRunning) {
        m_browser->terminate();
        if (!m_browser->waitForFinished(5000))
            m_browser->kill();
        m_browser->waitForFinished(1000);
    }
}

bool BrowserWatcher::start(const QUrl& url, const QRect& geometry, const QString& proxy)
{
    if (m_script.isEmpty() || !m_profile.isValid() || !m_stack.open(m_display))
        return false;
    m_screen = m_stack.screen();
    QStringList arguments { QStringLiteral("--app=") + url.toString(QUrl::FullyEncoded),
        QStringLiteral("--user-data-dir=") + m_profile.path(),
        // 0 lets the browser pick a free loopback port, which it writes to DevToolsActivePort.
        QStringLiteral("--remote-debugging-port=0"), QStringLiteral("--disable-gpu"),
        QStringLiteral("--no-first-run"), QStringLiteral("--disable-background-networking"),
        QStringLiteral("--disable-component-update"), QStringLiteral("--disable-sync"),
        QStringLiteral("--disable-quic"),
        QStringLiteral("--window-position=%1,%2").arg(geometry.x()).arg(geometry.y()),
        QStringLiteral("--window-size=%1,%2").arg(geometry.width()).arg(geometry.height()) };
    // The browser's sandbox refuses to run as root.
    if (geteuid() == 0)
        arguments.append(QStringLiteral("--no-sandbox"));
    if (!proxy.isEmpty())
        arguments.append(QStringLiteral("--proxy-server=http://") + proxy);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    m_browser->setProcessEnvironment(environment);
    m_browser->setStandardOutputFile(QProcess::nullDevice());
    m_browser->setStandardErrorFile(QProcess::nullDevice());

    m_profileWatcher = new QFileSystemWatcher({ m_profile.path() }, this);
    connect(m_profileWatcher, &QFileSystemWatcher::directoryChanged, this,
        &BrowserWatcher::connectToBrowser);
    connect(m_profileWatcher, &QFileSystemWatcher::fileChanged, this,
        &BrowserWatcher::connectToBrowser);
    m_browser->start(QStringLiteral("chromium"), arguments);
    return true;
}

void BrowserWatcher::connectToBrowser()
{
    // Once it listens, the browser writes its port and the path of the browser target.
    QFile file(m_profile.filePath(QStringLiteral("DevToolsActivePort")));
    if (m_devTools || !file.open(QIODevice::ReadOnly))
        return;
    const QList<QByteArray> lines = file.readAll().split('\n');
    if (lines.size() < 2 || lines.at(1).isEmpty()) {
        // Caught half written: its next change completes it.
        m_profileWatcher->addPath(file.fileName());
        return;
    }
    delete m_profileWatcher;
    m_profileWatcher = nullptr;
    m_devTools = std::make_unique<DevToolsLink>(
        [this](const QString& method, const QJsonObject& params, const QString& session) {
            onEvent(method, params, session);
        },
        [this](const QString& failure) { Q_EMIT note(failure); });
    QWebSocket& socket = m_devTools->socket();
    connect(&socket, &QWebSocket::connected, this, [this] {
        Q_EMIT note(QStringLiteral("connected to the browser"));
        // Every page, those open already included, comes as targetCreated.
        m_devTools->call(
            QStringLiteral("Target.setDiscoverTargets"), { { QStringLiteral("discover"), true } });
    });
    connect(&socket, &QWebSocket::disconnected, this,
        [this] { endBrowser(QStringLiteral("the browser closed its DevTools connection")); });
    // error() is overloaded in Qt 5.
    connect(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
        [this] { endBrowser(QStringLiteral("DevTools: ") + m_devTools->socket().errorString()); });
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1%2")
                         .arg(QString::fromLatin1(lines.at(0).trimmed()),
                             QString::fromLatin1(lines.at(1).trimmed()))));
}

void BrowserWatcher::onEvent(
    const QString& method, const QJsonObject& params, const QString& session)
{
    if (method == QLatin1String("Target.targetCreated")) {
        const QJsonObject info = params.value(QLatin1String("targetInfo")).toObject();
        if (info.value(QLatin1String("type")).toString() == QLatin1String("page"))
            attach(info.value(QLatin1String("targetId")).toString());
        return;
    }
    if (method == QLatin1String("Target.targetDestroyed")
        || method == QLatin1String("Target.detachedFromTarget")) {
        dropPage(params.value(QLatin1String("targetId")).toString());
        return;
    }
    for (Page& page : m_pages) {
        if (page.session != session)
            continue;
        if (method == QLatin1String("Runtime.bindingCalled")
            && params.value(QLatin1String("name")).toString() == bindingName) {
            onReport(page, params.value(QLatin1String("executionContextId")).toInt(),
                params.value(QLatin1String("payload")).toString());
        } else if (method == QLatin1String("Page.frameNavigated")
            && !params.value(QLatin1String("frame"))
                    .toObject()
                    .contains(QLatin1String("parentId"))) {
            // A new document in the main frame: the old one's videos are gone, as its last
            // report (on pagehide) has mostly said already.
            page.report.videos.clear();
            update(page);
        }
    }
}

void BrowserWatcher::attach(const QString& target)
{
    if (m_pages.contains(target))
        return;
    Page page;
    page.target = target;
    m_pages.insert(target, page);
    m_devTools->call(QStringLiteral("Target.attachToTarget"),
        { { QStringLiteral("targetId"), target }, { QStringLiteral("flatten"), true } }, QString(),
        [this, target](const QJsonObject& result) {
            if (!m_pages.contains(target))
                return;
            const QString session = result.value(QLatin1String("sessionId")).toString();
            m_pages[target].session = session;
            // The binding comes before the script, which takes it from its world's globals.
            m_devTools->call(QStringLiteral("Runtime.addBinding"),
                { { QStringLiteral("name"), bindingName },
                    { QStringLiteral("executionContextName"), worldName } },
                session);
            // Runtime events, bindingCalled among them, only flow once the domain is enabled.
            m_devTools->call(QStringLiteral("Runtime.enable"), {}, session);
            m_devTools->call(QStringLiteral("Page.enable"), {}, session);
            m_devTools->call(QStringLiteral("Page.addScriptToEvaluateOnNewDocument"),
                { { QStringLiteral("source"), m_script },
                    { QStringLiteral("worldName"), worldName } },
                session);
            // The document that is there already gets the script by hand. It runs once in a
            // document, whichever way comes first; a document that went meanwhile has no world.
            m_devTools->call(QStringLiteral("Page.getFrameTree"), {}, session,
                [this, session](const QJsonObject& tree) {
                    const QString frame = tree.value(QLatin1String("frameTree"))
                                              .toObject()
                                              .value(QLatin1String("frame"))
                                              .toObject()
                                              .value(QLatin1String("id"))
                                              .toString();
                    m_devTools->call(QStringLiteral("Page.createIsolatedWorld"),
                        { { QStringLiteral("frameId"), frame },
                            { QStringLiteral("worldName"), worldName } },
                        session, [this, session](const QJsonObject& world) {
                            m_devTools->call(QStringLiteral("Runtime.evaluate"),
                                { { QStringLiteral("expression"), m_script },
                                    { QStringLiteral("contextId"),
                                        world.value(QLatin1String("executionContextId")) } },
                                session, DevToolsLink::Callback(), true);
                        });
                });
        });
    m_devTools->call(QStringLiteral("Browser.getWindowForTarget"),
        { { QStringLiteral("targetId"), target } }, QString(),
        [this, target](const QJsonObject& result) {
            if (!m_pages.contains(target))
                return;
            const QJsonObject bounds = result.value(QLatin1String("bounds")).toObject();
            Page& page = m_pages[target];
            page.bounds = QRect(bounds.value(QLatin1String("left")).toInt(),
                bounds.value(QLatin1String("top")).toInt(),
                bounds.value(QLatin1String("width")).toInt(),
                bounds.value(QLatin1String("height")).toInt());
            place(page);
            update(page);
        });
}

void BrowserWatcher::place(Page& page)
{
    // A window that is gone or unmapped is looked for again: the browser may have made another.
    // Tabs share their window; the one not in front says that it is hidden.
    page.placement = m_stack.placement(page.window);
    if (page.bounds.isValid() && !page.placement.viewable) {
        page.window = m_stack.findWindow(m_browser->processId(), page.bounds);
        page.placement = m_stack.placement(page.window);
    }
}

void BrowserWatcher::onReport(Page& page, int context, const QString& payload)
{
    const QJsonObject state = QJsonDocument::fromJson(payload.toUtf8()).object();
    page.context = context;
    Report& report = page.report;
    if (state.value(QLatin1String("gone")).toBool()) {
        if (state.value(QLatin1String("doc")).toString() == report.doc)
            report.videos.clear();
        update(page);
        return;
    }
    report.doc = state.value(QLatin1String("doc")).toString();
    report.title = state.value(QLatin1String("title")).toString();
    report.hidden = state.value(QLatin1String("hidden")).toBool();
    const auto size = [&state](QLatin1String key) {
        const QJsonArray pair = state.value(key).toArray();
        return QSizeF(pair.at(0).toDouble(), pair.at(1).toDouble());
    };
    report.outer = size(QLatin1String("outer"));
    report.viewport = size(QLatin1String("viewport"));
    report.dpr = state.value(QLatin1String("dpr")).toDouble(1);
    report.at = qint64(state.value(QLatin1String("at")).toDouble());
    const QJsonObject times = state.value(QLatin1String("times")).toObject();
    report.videos.clear();
    for (const QJsonValue& value : state.value(QLatin1String("videos")).toArray()) {
        const QJsonObject object = value.toObject();
        Video video;
        video.key = object.value(QLatin1String("key")).toString();
        video.source = object.value(QLatin1String("src")).toString();
        video.stream = object.value(QLatin1String("stream")).toBool();
        video.playing = object.value(QLatin1String("playing")).toBool();
        video.ready = object.value(QLatin1String("ready")).toBool();
        const QJsonArray time = times.value(video.key).toArray();
        video.time = time.at(0).toDouble();
        video.rate = time.at(1).toDouble();
        video.box = rectFrom(object.value(QLatin1String("box")));
        video.view = rectFrom(object.value(QLatin1String("view")));
        for (const QJsonValue& cover : object.value(QLatin1String("covers")).toArray())
            video.covers.append(rectFrom(cover));
        report.videos.append(video);
    }
    update(page);
}

void BrowserWatcher::onStackChanged()
{
    // Moving the browser's window fires no event in its pages; the X server reports it, as it does
    // every window put over it. Nothing is polled.
    m_screen = m_stack.screen();
    for (Page& page : m_pages) {
        place(page);
        update(page);
    }
}

BrowserWatcher::View BrowserWatcher::viewOf(const Page& page, const Video& video) const
{
    const XWindowStack::Placement& window = page.placement;
    const ViewportMap map(
        window.geometry.topLeft(), page.report.outer, page.report.viewport, page.report.dpr);
    View view;
    view.position = map.map(video.box);
    const QRegion player(view.position);
    // Cut off by the viewport, a clipping element or the screen's edge, or painted over by the
    // page or by other windows.
    QRegion covered = player.subtracted(QRegion(map.map(video.view)));
    covered += player.subtracted(QRegion(m_screen));
    for (const QRectF& cover : video.covers)
        covered += map.map(cover);
    for (const QRect& above : window.above)
        covered += above;
    covered &= player;
    // A minimised or closed window is unmapped, hence not viewable.
    view.shown = window.viewable && !page.report.hidden && !player.subtracted(covered).isEmpty();
    for (const QRect& rect : covered)
        view.clip.append(rect);
    return view;
}

void BrowserWatcher::update(Page& page)
{
    QSet<QString> present;
    for (const Video& video : qAsConst(page.report.videos))
        present.insert(video.key);
    const QStringList keys = m_players.keys();
    for (const QString& key : keys) {
        if (m_players.value(key).target == page.target && !present.contains(key))
            endPlayer(key, true);
    }

    for (const Video& video : qAsConst(page.report.videos)) {
        QUrl source(video.source);
        source.setFragment(QString());
        const QString sourceText = source.toString(QUrl::FullyEncoded);
        // A new source is a new video.
        if (m_players.contains(video.key) && m_players.value(video.key).source != sourceText)
            endPlayer(video.key, true);
        const View view = viewOf(page, video);
        if (m_players.contains(video.key)) {
            Player& player = m_players[video.key];
            if (player.live)
                sync(player, view, page.report.title);
            continue;
        }
        const QString why = refusal(video.stream, source);
        if (!why.isEmpty() && !page.noted.contains(video.key)) {
            page.noted.insert(video.key);
            Q_EMIT note(QStringLiteral("video %1 is not redirected: %2").arg(video.key, why));
        }
        if (m_client && why.isEmpty() && !source.isEmpty() && view.shown
            && (video.playing || video.ready) && !page.refused.contains(video.key))
            create(page, video, sourceText);
    }
}

void BrowserWatcher::create(Page& page, const Video& video, const QString& source)
{
    Player player;
    player.tab = m_nextTab++;
    player.target = page.target;
    player.key = video.key;
    player.source = source;
    m_players.insert(video.key, player);
    m_tabs.insert(player.tab, video.key);
    // The player starts where the video is by now; the report may be a while old.
    const double elapsed = (QDateTime::currentMSecsSinceEpoch() - page.report.at) / 1000.0;
    QUrl url(source);
    url.setFragment(
        QStringLiteral("t=") + QString::number(video.time + elapsed * video.rate, 'f', 3));
    Q_EMIT note(QStringLiteral("video %1 gets player %2").arg(video.key).arg(player.tab));
    send({ { QStringLiteral("commandId"), cmdCreatePlayer },
             { QStringLiteral("data"), url.toString(QUrl::FullyEncoded) } },
        player.tab);
}

void BrowserWatcher::sync(Player& player, const View& view, const QString& title)
{
    const int tab = player.tab;
    // A hidden player is left where it was: it gets its place and its mask when it shows again.
    bool renewMask = false;
    if (view.shown && view.position != player.position) {
        player.position = view.position;
        // The library sets a mask on the window once: one made for another size must be renewed.
        renewMask = !player.clip.isEmpty();
        QJsonObject position = rectObject(view.position);
        position.insert(QStringLiteral("commandId"), cmdSetPosition);
        send(position, tab);
    }
    if (view.shown && (view.clip != player.clip || renewMask)) {
        player.clip = view.clip;
        QJsonArray rects;
        for (const QRect& rect : view.clip)
            rects.append(rectObject(rect));
        send({ { QStringLiteral("commandId"), cmdClipRegion }, { QStringLiteral("data"), rects } },
            tab);
    }
    if (view.shown != player.visible) {
        player.visible = view.shown;
        send({ { QStringLiteral("commandId"), cmdSetVisible },
                 { QStringLiteral("data"), view.shown } },
            tab);
    }
    if (title != player.title) {
        player.title = title;
        send({ { QStringLiteral("commandId"), cmdSetTitle }, { QStringLiteral("data"), title } },
            tab);
    }
}

void BrowserWatcher::hold(const Player& player, bool on)
{
    const Page page = m_pages.value(player.target);
    if (m_ended || !m_devTools || page.session.isEmpty())
        return;
    // The document may have gone meanwhile, and its world with it: then nothing is left to undo.
    m_devTools->call(QStringLiteral("Runtime.evaluate"),
        { { QStringLiteral("expression"),
              QStringLiteral("h5redir.redirect(%1, %2)")
                  .arg(jsString(player.key), on ? QLatin1String("true") : QLatin1String("false")) },
            { QStringLiteral("contextId"), page.context } },
        page.session, DevToolsLink::Callback(), true);
}

void BrowserWatcher::setClientConnected(bool connected)
{
    if (connected == m_client)
        return;
    m_client = connected;
    if (connected) {
        for (Page& page : m_pages)
            update(page);
        return;
    }
    const QStringList keys = m_players.keys();
    for (const QString& key : keys)
        endPlayer(key, false);
    // The next client may have the memory this one lacked.
    for (Page& page : m_pages)
        page.refused.clear();
}

void BrowserWatcher::handleClientMessage(const QJsonObject& message)
{
    const int command = message.value(QLatin1String("commandId")).toInt();
    const int tab = message.value(QLatin1String("id")).toInt();
    if (command != cmdCreateResult && command != cmdRedirectError)
        return;
    if (!m_tabs.contains(tab)) {
        // A player built after its video went.
        if (command == cmdCreateResult && message.value(QLatin1String("data")).toBool())
            send({ { QStringLiteral("commandId"), cmdDestroyPlayer } }, tab);
        return;
    }
    const QString key = m_tabs.value(tab);
    Player& player = m_players[key];
    if (command == cmdCreateResult && message.value(QLatin1String("data")).toBool()) {
        player.live = true;
        hold(player, true);
        if (m_pages.contains(player.target))
            update(m_pages[player.target]);
        return;
    }
    if (m_pages.contains(player.target))
        m_pages[player.target].refused.insert(key);
    if (command == cmdCreateResult) {
        Q_EMIT note(QStringLiteral("player %1 refused: video %2 plays on here").arg(tab).arg(key));
        // The client keeps the record of a refused tab until it is destroyed.
        endPlayer(key, true);
        return;
    }
    const int error = message.value(QLatin1String("data")).toInt();
    Q_EMIT note(QStringLiteral("player %1 stopped with error %2: video %3 plays on here")
                    .arg(tab)
                    .arg(error)
                    .arg(key));
    // A low-memory stop destroyed every player already.
    endPlayer(key, error != lowMemoryStop);
}

void BrowserWatcher::endPlayer(const QString& key, bool tellClient)
{
    const Player player = m_players.take(key);
    m_tabs.remove(player.tab);
    if (tellClient && m_client)
        send({ { QStringLiteral("commandId"), cmdDestroyPlayer } }, player.tab);
    if (player.live)
        hold(player, false);
}

void BrowserWatcher::dropPage(const QString& target)
{
    if (!m_pages.contains(target))
        return;
    m_pages[target].report.videos.clear();
    update(m_pages[target]);
    m_pages.remove(target);
}

void BrowserWatcher::endBrowser(const QString& why)
{
    if (m_ended)
        return;
    m_ended = true;
    Q_EMIT note(why);
    const QStringList targets = m_pages.keys();
    for (const QString& target : targets)
        dropPage(target);
    Q_EMIT finished();
}

void BrowserWatcher::send(QJsonObject object, int tab)
{
    object.insert(QStringLiteral("id"), tab);
    Q_EMIT message(object);
}
