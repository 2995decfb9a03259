#ifndef BROWSERWATCHER_H
#define BROWSERWATCHER_H

#include "xwindowstack.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QRect>
#include <QRectF>
#include <QSet>
#include <QSizeF>
#include <QTemporaryDir>
#include <QUrl>
#include <QVector>

#include <memory>

class DevToolsLink;
class QFileSystemWatcher;
class QProcess;

/*!
 * Redirects the videos a browser shows on an X display. It starts Chromium in app mode at a URL,
 * follows each of its pages through the DevTools protocol with a script of its own (watcher.js),
 * and turns every <video> that plays, or is ready to, and shows at least in part into one local
 * player of the client: create, position, visibility, covering rectangles, title, destroy, with
 * one tab id per video for as long as it lives. While a video's player runs, the copy in the
 * browser stays paused and muted; it gets its state back when the player ends.
 *
 * It owns the browser process, its temporary profile, the DevTools connection and an X connection
 * to the display. Sending its messages to the client, and passing the client's back, is left to
 * its caller. The watcher must not be deleted from a slot of message() or note(), which it emits
 * in the middle of its work; finished() is the last thing it does.
 */
class BrowserWatcher : public QObject
{
    Q_OBJECT

public:
    explicit BrowserWatcher(const QString& display, QObject* parent = nullptr);
    ~BrowserWatcher() override;

    // Starts the browser with its window at geometry, fetching through the HTTP proxy at proxy
    // (host:port) unless that is empty; false when the display cannot be opened or the profile
    // not made. A browser that fails later ends with finished().
    bool start(const QUrl& url, const QRect& geometry, const QString& proxy = QString());
    // Nothing is redirected while no client listens; a client that goes takes its players along.
    void setClientConnected(bool connected);
    // The client's messages: creation results (3) and stopped players (21) count, others not.
    void handleClientMessage(const QJsonObject& message);

Q_SIGNALS:
    // A ready-to-send JSON message of the channel.
    void message(const QJsonObject& message);
    // A readable line on what happens: why a video is not redirected, what the browser does.
    void note(const QString& line);
    // The browser ended or could not be reached; every player it had was destroyed.
    void finished();

private:
    // One <video> as its page last described it, in the page's CSS pixels.
    struct Video
    {
        QString key; // unique, and the same for the element's whole life
        QString source; // currentSrc
        bool stream = false; // fed by a MediaStream
        bool playing = false; // as the page wants it, also while its player runs
        bool ready = false;
        double time = 0; // playback position in seconds when the report was made
        double rate = 0; // 0 while paused
        QRectF box; // the content box in the viewport
        QRectF view; // what of it the viewport and clipping ancestors leave; may be empty
        QVector<QRectF> covers; // page elements painted over it
    };

    // A page's last report.
    struct Report
    {
        QString doc; // one per document
        QString title;
        bool hidden = false;
        QSizeF outer; // outerWidth, outerHeight: the window
        QSizeF viewport; // with its scrollbars, in device pixels
        double dpr = 1;
        qint64 at = 0; // ms since the epoch
        QVector<Video> videos;
    };

    struct Page
    {
        QString target;
        QString session;
        QRect bounds; // the window as the browser gave it, to find it on the display
        XWindowStack::WindowId window = 0;
        XWindowStack::Placement placement; // renewed on every change of the display's windows
        int context = 0; // where the script runs in the current document
        Report report;
        QSet<QString> refused; // videos whose player the client refused or stopped
        QSet<QString> noted; // videos already told not to be redirectable
    };

    // Where a player goes on the server screen, in X pixels.
    struct View
    {
        QRect position;
        QVector<QRect> clip;
        bool shown = false;
    };

    // A video with a local player, and what was last sent for it.
    struct Player
    {
        int tab = 0;
        QString target;
        QString key;
        QString source; // without the start time
        bool live = false; // the client built the player
        QRect position;
        bool visible = false;
        QVector<QRect> clip;
        QString title;
    };

    void connectToBrowser();
    void onEvent(const QString& method, const QJsonObject& params, const QString& session);
    void attach(const QString& target);
    void place(Page& page);
    void onReport(Page& page, int context, const QString& payload);
    void onStackChanged();
    View viewOf(const Page& page, const Video& video) const;
    void update(Page& page);
    void create(Page& page, const Video& video, const QString& source);
    void sync(Player& player, const View& view, const QString& title);
    void hold(const Player& player, bool on);
    void endPlayer(const QString& key, bool tellClient);
    void dropPage(const QString& target);
    void endBrowser(const QString& why);
    void send(QJsonObject object, int tab);

    const QString m_display;
    XWindowStack m_stack;
    QRect m_screen;
    QProcess* const m_browser; // a child, ended by the destructor
    QTemporaryDir m_profile;
    QFileSystemWatcher* m_profileWatcher = nullptr;
    std::unique_ptr<DevToolsLink> m_devTools;
    QString m_script;
    bool m_client = false;
    bool m_ended = false;
    int m_nextTab = 1;
    QHash<QString, Page> m_pages; // by DevTools target id
    QHash<QString, Player> m_players; // by video key
    QHash<int, QString> m_tabs; // tab id -> video key

    Q_DISABLE_COPY(BrowserWatcher)
};

#endif // BROWSERWATCHER_H
