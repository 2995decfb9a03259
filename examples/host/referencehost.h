#ifndef REFERENCEHOST_H
#define REFERENCEHOST_H

#include "playbackcontrol.h"
#include "playerengine.h"
#include "playerwindows.h"
#include "spicedesktop.h"
#include "spiceinputs.h"
#include "spiceportclient.h"
#include "urlguard.h"

#include <QNetworkAccessManager>
#include <QQuickView>
#include <QTimer>
#include <QUrl>

#include <memory>

class DesktopView;
class H5redir;

struct HostOptions
{
    QString spiceUri; // "spice://host:port" or "host:port"
    QByteArray portName = QByteArrayLiteral("org.h5redir.channel.0");
    QUrl fetchUrl; // fetched through the application proxy once a proxy policy set one
    QString snapshotFile;
    int volume = -1; // the client's playback volume in percent, -1 when not given
    bool mute = false;
    bool quitOnLoss = false;
    PlayerEngine::Kind player = PlayerEngine::WebEngine;
    QStringList allowedUrls; // globs of URLs the players may open on local addresses
};

/*!
 * A complete host of h5redir: the main window showing the remote desktop and taking its input,
 * one player window per redirected page laid over that desktop, the SPICE port channel to the
 * server-side agent, and the library between them, with every signal and slot of its host
 * interface connected.
 */
class ReferenceHost : public QObject
{
    Q_OBJECT

public:
    explicit ReferenceHost(const HostOptions& options, QObject* parent = nullptr);
    ~ReferenceHost() override;

    void start();

private:
    void connectLibrary();
    void onChannelState(bool connected);
    void onSessionEnded(const QString& reason);
    void onProxyPolicy(const QByteArray& policy);
    void fetch();
    void writeSnapshot();
    void fitDesktop(const QSize& size);

    const HostOptions m_options;
    const UrlGuard m_urlGuard;
    // Declared before the main window, whose desktop view uses them until it goes.
    SpiceDesktop m_desktop;
    SpiceInputs m_inputs;
    QQuickView m_mainWindow;
    DesktopView* m_view = nullptr; // the main window's
    // Declared before the library, which releases every player when it is deleted.
    PlayerWindows m_players;
    std::unique_ptr<H5redir> m_redir;
    SpicePortClient m_channel;
    QTimer m_reconnect;
    int m_retryMs; // the next reconnection's delay
    bool m_everOpen = false;
    QNetworkAccessManager m_network;
    PlaybackControl m_playback;
    QTimer m_snapshotTimer;
    QStringList m_snapshotNotes;
    bool m_fitted = false; // the main window took the first desktop's size
};

#endif // REFERENCEHOST_H
