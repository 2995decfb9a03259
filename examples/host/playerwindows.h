#ifndef PLAYERWINDOWS_H
#define PLAYERWINDOWS_H

#include <QHash>
#include <QImage>
#include <QObject>
#include <QRect>

#include <functional>

class QQuickView;
class QQuickWindow;

/*!
 * What a player page can tell its host. The QML surface calls these as a real page raises its
 * events; each becomes a signal carrying the player's tab id.
 */
class PlayerPage : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString url READ url CONSTANT)

public:
    PlayerPage(int tabid, const QString& url, QObject* parent);
    QString url() const { return m_url; }

    Q_INVOKABLE void loaded(bool ok, const QString& title);
    Q_INVOKABLE void activate();
    Q_INVOKABLE void requestFullScreen(bool on);

Q_SIGNALS:
    void loadFinished(int tabid, bool ok);
    void titleChanged(int tabid, const QString& title);
    void activated(int tabid);
    void fullScreenRequested(int tabid, bool on);

private:
    const int m_tabid;
    const QString m_url;
};

/*!
 * The host's player windows, one QQuickView per tab, laid over the main window at the rectangle
 * the server gives (in the main window's coordinates).
 */
class PlayerWindows : public QObject
{
    Q_OBJECT

public:
    explicit PlayerWindows(QQuickWindow* mainWindow, QObject* parent = nullptr);
    ~PlayerWindows() override;

    QQuickWindow* create(int tabid, const QString& url);
    void place(int tabid, int x, int y, int w, int h);
    void setVisible(int tabid, bool visible);
    void setTitle(int tabid, const QString& title);
    void destroy(int tabid);

    bool anyVisible() const;
    using RenderDone = std::function<void(const QImage& image, const QStringList& notes)>;
    // Draws the main window with every visible player inside its mask, describing each player
    // in notes, and hands the picture to done once every window has rendered it.
    void render(const RenderDone& done) const;

Q_SIGNALS:
    void loadFinished(int tabid, bool ok);
    void titleChanged(int tabid, const QString& title);
    void activated(int tabid);
    void fullScreenRequested(int tabid, bool on);
    // Something visible changed: a snapshot would differ.
    void changed();

private:
    struct Player
    {
        QQuickView* view = nullptr;
        QRect rect;
    };

    QQuickWindow* m_mainWindow;
    QHash<int, Player> m_players;
};

#endif // PLAYERWINDOWS_H
