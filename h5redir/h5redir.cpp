#include "h5redir.h"

#include "h5memoryutil.h"
#include "h5log.h"

H5redir::H5redir(QObject *parent)
    : QObject(parent)
{
}

H5redir::~H5redir()
{
    H5_INFO << "H5" << "~H5redir" << "start release";
    StopMemoryThread();
    DelAllBRData();
    DestroySocketServer();
    H5_INFO << "H5" << "~H5redir" << "end release";
}

void H5redir::SetH5ChannelState(bool bConnected)
{
    if (bConnected) {
        H5_INFO << "H5" << "SetH5ChannelState" << "Br channel connected ..";
        // The server forgets the tunnel with the channel; tell it again that we run one.
        if (m_bLocalProxy)
            SendProxyPolicy(0);
        return;
    }

    H5_INFO << "H5" << "SetH5ChannelState" << "Br channel disconnected, do release all players";
    DelAllBRData();
    emit h5SetRedirectState(false);
    StopMemoryThread();
}

void H5redir::SetZorvWindow(QQuickWindow *window)
{
    m_pZorvWindow = window;
}

void H5redir::SetWebEngine(bool bAvailable)
{
    m_bWebEngine = bAvailable;
}

void H5redir::onInitH5()
{
}

void H5redir::onUpdateZorvInfo(int topmargin)
{
    m_nTopMargin = topmargin;
    UpdateAllWindowPos();
}

// Hook for hosts whose player placement depends on the main window's margins; placement is
// currently driven entirely by the server's position commands.
void H5redir::UpdateAllWindowPos()
{
}

void H5redir::OnUpdatePosOnWindows(int tabid)
{
    Q_UNUSED(tabid)
}
