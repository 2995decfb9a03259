import QtQuick 2.15
import QtQuick.Window 2.15
import QtWebEngine 1.10
import H5Host.Guard 1.0
import H5Host.Player 1.0

// A player window's content: the page in Qt WebEngine. Every event of the engine that the server
// must hear of is handed to the host's page bridge here, one line each.
WebEngineView {
    id: view
    url: page.url

    // The server asked for this page to play: it may start its video with sound by itself, and
    // may ask for full screen.
    settings.playbackRequiresUserGesture: false
    settings.fullScreenSupportEnabled: true
    // The page may not read what the user copied elsewhere, nor put anything there.
    settings.javascriptCanAccessClipboard: false
    settings.javascriptCanPaste: false

    // The page, its frames and its server's redirects go nowhere the guard refuses. Ignored here,
    // a navigation leaves the page as it was and its load stopped; the guard's request
    // interceptor, behind this, would show an error page.
    onNavigationRequested: {
        const redirect = request.navigationType === WebEngineView.RedirectNavigation
        if (!PlayerGuard.admits(request.url, redirect ? "redirect" : "navigation"))
            request.action = WebEngineView.IgnoreRequest
    }

    // Load finished: success, or failure; a failed load is also a redirect error.
    onLoadingChanged: {
        if (loadRequest.status === WebEngineView.LoadSucceededStatus)
            page.reportLoad(true)
        else if (loadRequest.status === WebEngineView.LoadFailedStatus) {
            page.reportLoad(false)
            page.reportError(PlayerPage.LoadFailed)
        }
    }
    // The page's title, as its script sets it.
    onTitleChanged: page.reportTitle(title)
    // The page navigated to another address.
    onUrlChanged: page.reportUrl(url)
    // New windows and pop-ups open at the server: a new tab stays in the same window, a dialog is
    // a pop-up window. One the guard refuses was the page's wish, not the server's: it goes no
    // further than the log.
    onNewViewRequested: {
        if (PlayerGuard.admits(request.requestedUrl, "new window"))
            page.reportNewView(request.requestedUrl,
                request.destination === WebEngineView.NewViewInWindow
                    || request.destination === WebEngineView.NewViewInDialog,
                request.destination === WebEngineView.NewViewInDialog)
    }
    // Camera, microphone, location, notifications, the screen: the player grants none of them.
    onFeaturePermissionRequested: grantFeaturePermission(securityOrigin, feature, false)
    // Full screen belongs to the server's browser; the player only passes the request on.
    onFullScreenRequested: page.reportFullScreen(request.toggleOn)
    // The page's renderer died: nothing more will play.
    onRenderProcessTerminated: page.reportError(PlayerPage.RenderProcessGone)
    // The pointer rests on a link: the server shows the tip.
    onLinkHovered: if (hoveredUrl.toString() !== "") page.reportTip()
    // The user activated the player's window.
    Window.onActiveChanged: if (Window.active) page.reportActive()
    // Downloads are the server's to make. The profile is every player's: each takes its own.
    Connections {
        target: view.profile
        function onDownloadRequested(download) {
            if (download.view !== view)
                return
            page.reportDownload(download.url)
            download.cancel()
        }
    }
}
