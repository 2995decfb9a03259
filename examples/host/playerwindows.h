#ifndef PLAYERWINDOWS_H
#define PLAYERWINDOWS_H

#include <QHash>
#include <QImage>
#include <QObject>
#include <QRect>
#include <QUrl>

#include <functional>

class QQuickView;
class QQuickWindow;

/*!
 * What a player page can tell its host. The player's QML calls these as its page raises its
 * events; each becomes a signal carrying the player's tab id, shaped like the library slot that
 * reports it.
 */
class PlayerPage : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QUrl url READ url NOTIFY opened)

public:
    // The kinds of player error the host reports; 2 is the library's own memory stop.
    enum RedirectError { LoadFailed = 1, RenderProcessGone = 3 };
    Q_ENUM(RedirectError)

    PlayerPage(int tabid, QObject* parent);
    QUrl url() const { return m_url; }
    // Gives the player its page to load.
    void open(const QUrl& url);

    Q_INVOKABLE void reportLoad(bool ok);
    Q_INVOKABLE void reportTitle(const QString& title);
    Q_INVOKABLE void reportUrl(const QUrl& url);
    Q_INVOKABLE void reportNewView(const QUrl& url, bool newWindow, bool popup);
    Q_INVOKABLE void reportFullScreen(bool on);
    Q_INVOKABLE void reportError(int type);
    Q_INVOKABLE void reportActive();
    Q_INVOKABLE void reportDownload(const QUrl& url);
    Q_INVOKABLE void reportTip();

Q_SIGNALS:
    void opened();
    void loadFinished(int tabid, bool ok);
    void titleChanged(int tabid, const QString& title);
    void urlChanged(int tabid, const QString& url);
    void newViewRequested(int tabid, const QString& url, bool newWindow, bool popup);
    void fullScreenRequested(int tabid, bool on);
    void errorRaised(int tabid, int type);
    void activated(int tabid);
    void downloadRequested(int tabid, const QString& url);
    void tipRequested(int tabid);

private:
    const int m_tabid;
    QUrl m_url;
};

/*!
 * The host's player windows, one QQuickView per tab holding the player's QML, laid over the
 * remote desktop at the rectangle the server gives (in desktop coordinates). Each is a child
 * window of the main window, at the desktop's top-left there (setOrigin()) plus its rectangle: it
 * moves with the main window by itself, and is placed again when the desktop scrolls. Platforms
 * that draw no windows (offscreen, minimal) get top-level windows at the same place instead.
 */
class PlayerWindows : public QObject
{
    Q_OBJECT

public:
    // player: the QML of one player window, given the page bridge as "page".
    PlayerWindows(QQuickWindow* mainWindow, const QUrl& player, QObject* parent = nullptr);
    ~PlayerWindows() override;

    QQuickWindow* create(int tabid, const QString& url);
    void place(int tabid, int x, int y, int w, int h);
    void setVisible(int tabid, bool visible);
    void setTitle(int tabid, const QString& title);
    void destroy(int tabid);
    // Where the desktop's top-left is in the main window, in logical pixels.
    void setOrigin(const QPoint& origin);
    // The player's top-left on the screen, in device pixels: where a tester points.
    QPoint screenPosition(int tabid) const;

    bool anyVisible() const;
    using RenderDone = std::function<void(const QImage& image, const QStringList& notes)>;
    // Draws the main window with every visible player inside its mask, describing each player
    // in notes, and hands the picture to done once every window has rendered it.
    void render(const RenderDone& done) const;

Q_SIGNALS:
    void loadFinished(int tabid, bool ok);
    void titleChanged(int tabid, const QString& title);
    void urlChanged(int tabid, const QString& url);
    void newViewRequested(int tabid, const QString& url, bool newWindow, bool popup);
    void fullScreenRequested(int tabid, bool on);
    void errorRaised(int tabid, int type);
    void activated(int tabid);
    void downloadRequested(int tabid, const QString& url);
    void tipRequested(int tabid);
    // Something visible changed: a snapshot would differ.
    void changed();

private:
    struct Player
    {
        QQuickView* view = nullptr;
        QRect rect; // the server's, in desktop coordinates
    };

    void move(const Player& player) const;
    void moveAll();

    QQuickWindow* m_mainWindow;
    const QUrl m_player;
    const bool m_childWindows;
    QPoint m_origin;
    QHash<int, Player> m_players;
};

#endif // PLAYERWINDOWS_H
