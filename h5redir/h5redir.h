#ifndef H5REDIR_H
#define H5REDIR_H

#include "h5redir_export.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QQuickWindow>
#include <QString>

class QJsonArray;
class QJsonObject;
class QThread;
class H5MemoryUtil;
class H5SocketServer;

/*!
 * One redirected player, as the registry of H5redir keeps it: the rectangle the server last set,
 * the host's window that shows it (not owned) and the visibility the server last ordered.
 */
struct BRData
{
    int tabid = 0;
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    QQuickWindow *window = nullptr;
    bool bIsVisible = false;
};

/*!
 * The host's single entry point into HTML5 redirection.
 *
 * The host feeds every message received on its channel to parseSpiceData() and sends every
 * message of messageToSpice() unchanged with the given type. It creates, places, shows and
 * destroys the player windows on the h5... signals, answers each h5CreateNewPlayer() with
 * onCreatePlayerResult(), and reports the players' own events through the slots.
 *
 * Lives in, and is used from, the host's GUI thread.
 */
class H5REDIR_EXPORT H5redir : public QObject
{
    Q_OBJECT

public:
    explicit H5redir(QObject *parent = nullptr);
    ~H5redir() override;

Q_SIGNALS:
    void messageToSpice(const QByteArray &msg, uint type);
    // Only ever emitted with false: redirection has ended.
    void h5SetRedirectState(bool bState);
    void h5playerWindowPos(int tabid, int x, int y, int w, int h);
    void h5CreateNewPlayer(int tabid, int x, int y, int width, int height, QString url);
    // Emitted while the registry lock is held: a slot connected directly to it must not call
    // back into the registry (GetBRWindowById(), IsNoBRData(), ...), or it deadlocks.
    void h5DestroyPlayer(int tabid);
    void h5SetPlayerVisibility(int tabid, bool bIsVisible);
    void h5UpdateTitle(int tabid, QString title);
    void signalSetStop2Memory();
    void signalSetMute(bool bMute);
    void signalSetVol(quint16 vol);
    // Part of the interface for hosts that start the proxy server by signal; never emitted here.
    void signalInitSocketServer(int port);
    void signalWriteDataToSocket(int handle, const QByteArray &data);
    // Tell the loopback server that the channel is backed up, or no longer, and how much of what
    // it read has been taken here; both only once the host reports its backlog.
    void signalSetReadPaused(bool bPaused);
    void signalReadTaken(qint64 bytes);

public Q_SLOTS:
    void onInitH5();
    void onCreatePlayerResult(int tabid, bool bCreateSuccess, QQuickWindow *window);
    void onLoadEnd(int tabid, bool bLoadSuccess);
    void onUpdateTitle(int tabid, QString title);
    void onUpdateUrl(int tabid, QString url);
    void onNewUrl(int tabid, QString url, bool bNewWindow, bool bPopup);
    void onRequestFullScreen(int tabid, bool bIsFullScreen);
    void onRedirectError(int tabid, int errorType);
    void onRequestActive(int tabid);
    void onRequestDownload(int tabid, QString url);
    void onUpdateZorvInfo(int topmargin);
    void OnRequestTip(int tabid);
    void OnUpdatePosOnWindows(int tabid);
    void onMemoryLessLimit();
    void onSocketNewConn(int handle);
    void onRecvDataFromSocket(int handle, const QByteArray &data);
    void onSocketDisConn(int handle);
    void onInitSocketServer(int port);
    void onProxyPolicy(const QByteArray &data);

public:
    void SetH5ChannelState(bool bConnected);
    int parseSpiceData(void *data, unsigned int len);
    void SetZorvWindow(QQuickWindow *window);
    void UpdateAllWindowPos();
    bool IsNoBRData();
    QQuickWindow *GetBRWindowById(int tabid);
    void PlaybackMuteChange(bool bMute);
    void PlaybackVolumeChange(quint16 vol);
    void SetProxy(int port, QString host);
    void InitSocketServer(H5redir *redir, int port);
    void CloseSocketServer();
    /*!
     * The host reports how many bytes of the messages it was handed by messageToSpice() it still
     * holds unsent, counting each from its emission. From the first report on, the tunnel stops
     * reading local connections while 8 MiB or more of what it read waits to leave on the channel
     * (the bytes reported, plus those emitted since the report), and reads again once 6 MiB or
     * less does; it also stops while 8 MiB it read still waits for this object's thread, busy
     * elsewhere. Report at least whenever the figure falls, as on each write's completion, and 0
     * when the channel's queue is dropped. A host that never calls it gets no bound: local
     * connections are read as fast as they send.
     */
    void SetChannelBacklog(qint64 bytes);
    void SetDataLen(unsigned char *buf, int len);
    void GetDataLen(unsigned char *buf, unsigned int &len);

    // A host built without the local player engine clears this, and every create request is
    // then refused. Available by default.
    void SetWebEngine(bool bAvailable);

    // Channel messages.
    /*!
     * Decodes and dispatches one inbound message. A proxy data frame whose data length is larger
     * than the bytes after its header is dropped whole, with a critical log line: forwarding the
     * part that arrived would hand the connection a stream with a silent hole in it.
     */
    void HandleServerMsg(char *data, unsigned long len);
    void SendMsgToZorv(QByteArray &msg);
    void SendCreateResultMsg(int tabid, bool bCreateSuccess);

    // Player registry; every operation holds the registry lock for its whole run.
    void SaveVisibleInBRData(int tabid, bool bIsVisible);
    bool IsVisibleTab(int tabid);
    void SaveWindowInBRData(int tabid, QQuickWindow *window);
    void SavePosInBRData(int tabid, int x, int y, int w, int h);
    QQuickWindow *GetBRDataInClip(int tabid, int &x, int &y, int &w, int &h);
    void DelBRDataInfoById(int tabid);
    void DelAllBRData();

    void ClipWindow(int tabid, const QJsonArray &rects);

    // Memory guard.
    bool IsMemoryAllow(bool bLowThreshold);
    void StartMemoryThread();
    void StopMemoryThread();

    void SendProxyPolicy(int port);

private:
    void SendJsonMsg(const QJsonObject &object);
    void SendPlayerEvent(int tabid, int commandId, const QJsonObject &extra);
    void DestroySocketServer();
    void FollowChannelBacklog();

    QMutex m_mutex;
    QList<BRData> m_listBRData;
    bool m_bWebEngine = true;
    QQuickWindow *m_pZorvWindow = nullptr;
    H5MemoryUtil *m_pMemoryUtil = nullptr;
    quint16 m_nVol = 77;
    bool m_bMute = false;
    QThread *m_pSocketThread = nullptr;
    H5SocketServer *m_pSocketServer = nullptr;
    bool m_bLocalProxy = false;
    // What the host last reported unsent; -1 until its first report, and with it no bound.
    qint64 m_nChannelBacklog = -1;
    // Bytes emitted since that report, which it cannot have counted.
    qint64 m_nUnreported = 0;
    bool m_bReadPaused = false;
    // Bytes of the loopback server's blocks taken since the last signalReadTaken().
    qint64 m_nTaken = 0;
    int m_nTopMargin = 0;

    Q_DISABLE_COPY(H5redir)
};

#endif // H5REDIR_H
