#include "playerwindows.h"

#include <QGuiApplication>
#include <QPainter>
#include <QQuickItem>
#include <QQuickItemGrabResult>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickView>
#include <QScreen>
#include <QTimer>

#include <memory>

PlayerPage::PlayerPage(int tabid, QObject* parent)
    : QObject(parent)
    , m_tabid(tabid)
{
}

void PlayerPage::open(const QUrl& url)
{
    m_url = url;
    Q_EMIT opened();
}

void PlayerPage::reportLoad(bool ok) { Q_EMIT loadFinished(m_tabid, ok); }

void PlayerPage::reportTitle(const QString& title) { Q_EMIT titleChanged(m_tabid, title); }

void PlayerPage::reportUrl(const QUrl& url) { Q_EMIT urlChanged(m_tabid, url.toString()); }

void PlayerPage::reportNewView(const QUrl& url, bool newWindow, bool popup)
{
    Q_EMIT newViewRequested(m_tabid, url.toString(), newWindow, popup);
}

void PlayerPage::reportFullScreen(bool on) { Q_EMIT fullScreenRequested(m_tabid, on); }

void PlayerPage::reportError(int type) { Q_EMIT errorRaised(m_tabid, type); }

void PlayerPage::reportActive() { Q_EMIT activated(m_tabid); }

void PlayerPage::reportDownload(const QUrl& url)
{
    Q_EMIT downloadRequested(m_tabid, url.toString());
}

void PlayerPage::reportTip() { Q_EMIT tipRequested(m_tabid); }

namespace {

// The offscreen and minimal platforms keep no window of their own, so none inside another.
bool hasChildWindows()
{
    const QString platform = QGuiApplication::platformName();
    return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

} // namespace

PlayerWindows::PlayerWindows(QQuickWindow* mainWindow, const QUrl& player, QObject* parent)
    : QObject(parent)
    , m_mainWindow(mainWindow)
    , m_player(player)
    , m_childWindows(hasChildWindows())
{
    // QML reads an enum through its type, not through the instance it is given as "page".
    qmlRegisterUncreatableType<PlayerPage>(
        "H5Host.Player", 1, 0, "PlayerPage", QStringLiteral("each player is given its page"));
    // Child windows move with the main window by themselves; top-level ones are moved along.
    if (!m_childWindows) {
        connect(mainWindow, &QWindow::xChanged, this, &PlayerWindows::moveAll);
        connect(mainWindow, &QWindow::yChanged, this, &PlayerWindows::moveAll);
    }
}

PlayerWindows::~PlayerWindows()
{
    for (const Player& player : qAsConst(m_players))
        delete player.view;
}

QQuickWindow* PlayerWindows::create(int tabid, const QString& url)
{
    destroy(tabid);
    auto* view = new QQuickView;
    auto* page = new PlayerPage(tabid, view);
    connect(page, &PlayerPage::loadFinished, this, &PlayerWindows::loadFinished);
    connect(page, &PlayerPage::titleChanged, this, &PlayerWindows::titleChanged);
    connect(page, &PlayerPage::urlChanged, this, &PlayerWindows::urlChanged);
    connect(page, &PlayerPage::newViewRequested, this, &PlayerWindows::newViewRequested);
    connect(page, &PlayerPage::fullScreenRequested, this, &PlayerWindows::fullScreenRequested);
    connect(page, &PlayerPage::errorRaised, this, &PlayerWindows::errorRaised);
    connect(page, &PlayerPage::activated, this, &PlayerWindows::activated);
    connect(page, &PlayerPage::downloadRequested, this, &PlayerWindows::downloadRequested);
    connect(page, &PlayerPage::tipRequested, this, &PlayerWindows::tipRequested);
    if (m_childWindows) {
        // Inside the main window: it moves along and never strays beyond the window's edges.
        view->setParent(m_mainWindow);
    } else {
        view->setFlags(Qt::Tool | Qt::FramelessWindowHint);
        view->setTransientParent(m_mainWindow);
    }
    view->setResizeMode(QQuickView::SizeRootObjectToView);
    view->rootContext()->setContextProperty(QStringLiteral("page"), page);
    view->setSource(m_player);
    if (view->status() != QQuickView::Ready) {
        delete view;
        return nullptr;
    }
    m_players.insert(tabid, { view, QRect() });
    // The page loads once the host has answered the create request, so that the server hears of
    // the player before any event of its page.
    QTimer::singleShot(0, page, [page, url] { page->open(QUrl(url)); });
    return view;
}

void PlayerWindows::place(int tabid, int x, int y, int w, int h)
{
    auto player = m_players.find(tabid);
    if (player == m_players.end())
        return;
    player->rect = QRect(x, y, w, h);
    move(*player);
    Q_EMIT changed();
}

void PlayerWindows::setOrigin(const QPoint& origin)
{
    if (origin == m_origin)
        return;
    m_origin = origin;
    moveAll();
}

void PlayerWindows::move(const Player& player) const
{
    QPoint at = m_origin + player.rect.topLeft();
    if (!m_childWindows)
        at += m_mainWindow->position();
    player.view->setGeometry(QRect(at, player.rect.size()));
}

void PlayerWindows::moveAll()
{
    bool moved = false;
    for (const Player& player : qAsConst(m_players)) {
        if (player.rect.isNull())
            continue; // not placed yet
        move(player);
        moved = true;
    }
    if (moved)
        Q_EMIT changed();
}

QPoint PlayerWindows::screenPosition(int tabid) const
{
    const QQuickView* view = m_players.value(tabid).view;
    if (!view)
        return QPoint();
    // Qt's logical screen coordinates keep a screen's top-left as it is and scale from there;
    // the main window's own position is in whole logical pixels, so this may be a pixel off
    // where the window manager put the window at an odd device pixel.
    const QPoint screen = view->screen()->geometry().topLeft();
    return screen + (view->mapToGlobal(QPoint()) - screen) * view->devicePixelRatio();
}

void PlayerWindows::setVisible(int tabid, bool visible)
{
    if (QQuickView* view = m_players.value(tabid).view) {
        view->setVisible(visible);
        Q_EMIT changed();
    }
}

void PlayerWindows::setTitle(int tabid, const QString& title)
{
    if (QQuickView* view = m_players.value(tabid).view)
        view->setTitle(title);
}

void PlayerWindows::destroy(int tabid)
{
    // Called under the library's registry lock: only the window goes, later, on the event loop.
    if (QQuickView* view = m_players.take(tabid).view) {
        view->deleteLater();
        Q_EMIT changed();
    }
}

bool PlayerWindows::anyVisible() const
{
    for (const Player& player : m_players) {
        if (player.view->isVisible())
            return true;
    }
    return false;
}

void PlayerWindows::render(const RenderDone& done) const
{
    struct Shot
    {
        int tabid;
        QRect rect; // in the main window
        QRegion mask;
        QSharedPointer<QQuickItemGrabResult> grab;
    };
    // The software scene graph draws each window into its own image on its next frame; the
    // picture is put together once every window has delivered.
    auto shots = std::make_shared<QVector<Shot>>();
    shots->append({ -1, QRect(QPoint(), m_mainWindow->size()), QRegion(),
        m_mainWindow->contentItem()->grabToImage() });
    for (auto it = m_players.cbegin(); it != m_players.cend(); ++it) {
        const Player& player = it.value();
        if (!player.view->isVisible() || player.rect.isEmpty())
            continue;
        // The library masks the window to what the server leaves uncovered; no mask is all of it.
        const QRegion mask = player.view->mask().isEmpty()
            ? QRegion(0, 0, player.rect.width(), player.rect.height())
            : player.view->mask();
        shots->append({ it.key(), player.rect.translated(m_origin), mask,
            player.view->contentItem()->grabToImage() });
    }
    for (const Shot& shot : qAsConst(*shots)) {
        if (!shot.grab)
            return;
    }
    auto pending = std::make_shared<int>(shots->size());
    for (const Shot& shot : qAsConst(*shots)) {
        connect(shot.grab.data(), &QQuickItemGrabResult::ready, this, [shots, pending, done] {
            if (--*pending > 0)
                return;
            QImage image = shots->constFirst().grab->image().convertToFormat(QImage::Format_RGB32);
            QStringList notes;
            QPainter painter(&image);
            for (auto shot = shots->cbegin() + 1; shot != shots->cend(); ++shot) {
                painter.setClipRegion(shot->mask.translated(shot->rect.topLeft()));
                painter.drawImage(shot->rect.topLeft(), shot->grab->image());
                painter.setClipping(false);
                painter.setPen(QPen(Qt::yellow, 1, Qt::DashLine));
                painter.drawRect(shot->rect.adjusted(0, 0, -1, -1));
                const QRect shown = shot->mask.boundingRect();
                notes << QStringLiteral(
                    "player %1 at %2,%3 %4x%5 shown in %6 rectangle(s) within %7,%8 %9x%10")
                             .arg(shot->tabid)
                             .arg(shot->rect.x())
                             .arg(shot->rect.y())
                             .arg(shot->rect.width())
                             .arg(shot->rect.height())
                             .arg(shot->mask.rectCount())
                             .arg(shown.x())
                             .arg(shown.y())
                             .arg(shown.width())
                             .arg(shown.height());
            }
            painter.end();
            done(image, notes);
        });
    }
}
