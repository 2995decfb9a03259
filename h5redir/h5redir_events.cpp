#include "h5redir.h"

#include "h5commands.h"
#include "h5log.h"

#include <QGuiApplication>
#include <QJsonObject>

namespace {

// The host's redirected browser window carries this title; only while it has the focus may a
// player ask the server to activate its tab.
const QLatin1String redirectedBrowserTitle("browser_Redir");

// -1 is the one tab id that no player event may carry.
bool isInvalidTab(const char *slot, int tabid)
{
    if (tabid != -1)
        return false;
    H5_CRITICAL << "H5" << slot << "invalid tabid";
    return true;
}

} // namespace

void H5redir::onCreatePlayerResult(int tabid, bool bCreateSuccess, QQuickWindow *window)
{
    if (tabid == -1) {
        H5_CRITICAL << "H5" << "onCreatePlayerResult" << "invalid param";
        return;
    }
    H5_DEBUG << "H5" << "onCreatePlayerResult" << "tabid :" << tabid << ", create ret:"
             << bCreateSuccess << ", window:" << window;
    SaveWindowInBRData(tabid, window);
    if (bCreateSuccess && !m_pMemoryUtil) {
        H5_DEBUG << "H5" << "onCreatePlayerResult" << "start thread to linsten memory";
        StartMemoryThread();
    }
    SendCreateResultMsg(tabid, bCreateSuccess);
}

void H5redir::SendCreateResultMsg(int tabid, bool bCreateSuccess)
{
    QJsonObject object;
    object.insert(QLatin1String("id"), tabid);
    object.insert(QLatin1String("commandId"), CmdCreateResult);
    object.insert(QLatin1String("data"), bCreateSuccess);
    SendJsonMsg(object);
}

void H5redir::SendPlayerEvent(int tabid, int commandId, const QJsonObject &extra)
{
    QJsonObject object = extra;
    object.insert(QLatin1String("id"), tabid);
    object.insert(QLatin1String("commandId"), commandId);
    SendJsonMsg(object);
}

void H5redir::onLoadEnd(int tabid, bool bLoadSuccess)
{
    H5_DEBUG << "H5" << "onLoadEnd" << "tabid :" << tabid << ", load ret:" << bLoadSuccess;
    if (isInvalidTab("onLoadEnd", tabid))
        return;
    // A freshly loaded page has fresh audio streams: hand the monitor the client's settings.
    if (bLoadSuccess && m_pMemoryUtil) {
        emit signalSetMute(m_bMute);
        emit signalSetVol(m_nVol);
    }
    SendPlayerEvent(tabid, CmdLoadEnd, {{QLatin1String("data"), bLoadSuccess}});
}

void H5redir::onUpdateTitle(int tabid, QString title)
{
    H5_DEBUG << "H5" << "onUpdateTitle" << "tabid :" << tabid << ", updare title:" << title;
    if (isInvalidTab("onUpdateTitle", tabid))
        return;
    SendPlayerEvent(tabid, CmdTitleChanged, {{QLatin1String("data"), title}});
}

void H5redir::onUpdateUrl(int tabid, QString url)
{
    H5_DEBUG << "H5" << "onUpdateUrl" << "tabid :" << tabid << ", updare url:" << url;
    if (isInvalidTab("onUpdateUrl", tabid))
        return;
    SendPlayerEvent(tabid, CmdUrlChanged, {{QLatin1String("data"), url}});
}

void H5redir::onNewUrl(int tabid, QString url, bool bNewWindow, bool bPopup)
{
    H5_DEBUG << "H5" << "onNewUrl" << "tabid :" << tabid << ", new url:" << url
             << ", new window:" << bNewWindow << ", popup:" << bPopup;
    if (isInvalidTab("onNewUrl", tabid))
        return;
    SendPlayerEvent(tabid, bNewWindow ? CmdNewWindowUrl : CmdNewUrl,
                    {{QLatin1String("data"), url}, {QLatin1String("popup"), bPopup}});
}

void H5redir::onRequestFullScreen(int tabid, bool bIsFullScreen)
{
    H5_DEBUG << "H5" << "onRequestFullScreen" << "tabid :" << tabid << ", fullscreen mod:"
             << bIsFullScreen;
    if (isInvalidTab("onRequestFullScreen", tabid))
        return;
    SendPlayerEvent(tabid, CmdRequestFullScreen, {{QLatin1String("data"), bIsFullScreen}});
}

void H5redir::onRedirectError(int tabid, int errorType)
{
    H5_DEBUG << "H5" << "onRedirectError" << "tabid :" << tabid;
    if (isInvalidTab("onRedirectError", tabid))
        return;
    SendPlayerEvent(tabid, CmdRedirectError, {{QLatin1String("data"), errorType}});
}

void H5redir::onRequestActive(int tabid)
{
    H5_DEBUG << "H5" << "onRequestActive" << "tabid :" << tabid;
    if (isInvalidTab("onRequestActive", tabid))
        return;
    const QWindow *focusWindow = QGuiApplication::focusWindow();
    if (!focusWindow || focusWindow->title() != redirectedBrowserTitle)
        return;
    SendPlayerEvent(tabid, CmdRequestActive, {});
}

void H5redir::onRequestDownload(int tabid, QString url)
{
    H5_DEBUG << "H5" << "onRequestDownload" << "tabid :" << tabid;
    if (isInvalidTab("onRequestDownload", tabid))
        return;
    SendPlayerEvent(tabid, CmdRequestDownload, {{QLatin1String("data"), url}});
}

void H5redir::OnRequestTip(int tabid)
{
    H5_DEBUG << "H5" << "OnRequestTip" << "tabid :" << tabid;
    if (isInvalidTab("OnRequestTip", tabid))
        return;
    SendPlayerEvent(tabid, CmdRequestTip, {});
}
