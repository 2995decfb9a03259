#include "h5redir.h"

#include "h5commands.h"
#include "h5socketserver.h"
#include "h5log.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QThread>
#include <QtEndian>

#include <cstring>

#include <sys/socket.h>

namespace {

constexpr int maxPendingConnections = 3000;
// Bytes waiting to leave on the channel at or above which local connections are no longer read,
// and at or below which they are read again. The high mark bounds the host's memory and how long
// the players' own messages queue behind tunnelled bytes; the low mark is what the channel still
// has to send while reading resumes, so that a fast channel never runs dry. Benchmarks build the
// library with other values to compare them.
#ifndef H5REDIR_BACKLOG_HIGH_BYTES
#define H5REDIR_BACKLOG_HIGH_BYTES (8 * 1024 * 1024)
#define H5REDIR_BACKLOG_LOW_BYTES (6 * 1024 * 1024)
#endif
constexpr qint64 backlogHighBytes = H5REDIR_BACKLOG_HIGH_BYTES;
constexpr qint64 backlogLowBytes = H5REDIR_BACKLOG_LOW_BYTES;
// How much of the server's blocks is taken before the server hears of it, in one signal.
constexpr qint64 takenReportBytes = 1024 * 1024;
const QLatin1String localProxyHost("127.0.0.1");

} // namespace

void H5redir::onSocketNewConn(int handle)
{
    H5_DEBUG << "H5" << "onSocketNewConn" << "new socket conn:" << handle;
    SendJsonMsg({{QLatin1String("proxyid"), handle}, {QLatin1String("commandId"), CmdProxyConnect}});
}

void H5redir::onRecvDataFromSocket(int handle, const QByteArray &data)
{
    if (data.isEmpty())
        return;
    if (m_nChannelBacklog >= 0) {
        m_nTaken += data.size();
        if (m_nTaken >= takenReportBytes) {
            emit signalReadTaken(m_nTaken);
            m_nTaken = 0;
        }
    }
    // One block read is one frame, header and payload in one buffer. The buffer of the last frame
    // is reused when the host let go of it on sending: large blocks then cost no fresh memory to
    // allocate and fault in. A host that keeps its frame keeps it intact, as this one then gets
    // a buffer of its own, and so does a frame built while another is being sent.
    static thread_local QByteArray spare;
    QByteArray frame;
    frame.swap(spare);
    const int size = H5FrameHeaderSize + data.size();
    if (frame.isDetached() && frame.capacity() >= size)
        frame.resize(size);
    else
        frame = QByteArray(size, Qt::Uninitialized);
    char *out = frame.data();
    qToLittleEndian<qint32>(CmdProxyDataOut, out);
    qToLittleEndian<qint32>(handle, out + 4);
    qToLittleEndian<qint32>(data.size(), out + 8);
    std::memcpy(out + H5FrameHeaderSize, data.constData(), size_t(data.size()));
    SendMsgToZorv(frame);
    spare.swap(frame);
}

void H5redir::SetChannelBacklog(qint64 bytes)
{
    // The first report starts the pacing of the server's reads, even with nothing to pause yet.
    if (m_nChannelBacklog < 0)
        emit signalSetReadPaused(m_bReadPaused);
    m_nChannelBacklog = qMax<qint64>(0, bytes);
    m_nUnreported = 0;
    FollowChannelBacklog();
}

void H5redir::FollowChannelBacklog()
{
    const qint64 waiting = m_nChannelBacklog + m_nUnreported;
    const bool bPause = m_bReadPaused ? waiting > backlogLowBytes : waiting >= backlogHighBytes;
    if (bPause == m_bReadPaused)
        return;
    m_bReadPaused = bPause;
    emit signalSetReadPaused(bPause);
}

void H5redir::onSocketDisConn(int handle)
{
    H5_DEBUG << "H5" << "onSocketDisConn" << "socket disconn:" << handle;
    SendJsonMsg({{QLatin1String("proxyid"), handle}, {QLatin1String("commandId"), CmdProxyDisconnect}});
}

void H5redir::onInitSocketServer(int port)
{
    InitSocketServer(this, port);
}

void H5redir::onProxyPolicy(const QByteArray &data)
{
    if (data.isEmpty())
        return;
    const QJsonDocument document = QJsonDocument::fromJson(data);
    if (!document.isObject()) {
        H5_CRITICAL << "H5" << "onProxyPolicy" << "json parse error";
        return;
    }
    const QJsonObject policy = document.object();
    const int enableProxy = policy.value(QLatin1String("enableProxy")).toInt(0);
    const QString host = policy.value(QLatin1String("proxyIp")).toString();
    const QString portText = policy.value(QLatin1String("proxyPort")).toString();
    const int port = portText.toInt(nullptr, 10);
    H5_INFO << "H5" << "onProxyPolicy" << "proxy policy result:" << "enableProxy:" << enableProxy
            << ", proxyIp:" << host << ", proxyPort:" << portText << ", proxyport(int):" << port;
    if (enableProxy == 0)
        return;

    if (host == localProxyHost) {
        H5_INFO << "H5" << "onProxyPolicy" << "use local proxy";
        m_bLocalProxy = true;
        SendProxyPolicy(0);
        InitSocketServer(this, port);
        return;
    }
    H5_INFO << "H5" << "onProxyPolicy" << "use http proxy";
    SetProxy(port, host);
}

void H5redir::SendProxyPolicy(int port)
{
    QByteArray msg = QJsonDocument(QJsonObject {{QLatin1String("commandId"), CmdProxyPolicy},
                                                {QLatin1String("port"), port}})
                             .toJson(QJsonDocument::Compact);
    H5_DEBUG << "H5" << "SendProxyPolicy" << "proxy policy msg:" << msg;
    SendMsgToZorv(msg);
}

void H5redir::SetProxy(int port, QString host)
{
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::HttpProxy, host, quint16(port)));
}

void H5redir::InitSocketServer(H5redir *redir, int port)
{
    H5_DEBUG << "H5" << "InitSocketServer" << "start init, port:" << port;
    redir->setObjectName(QStringLiteral("h5redir"));
    if (m_pSocketServer) {
        H5_INFO << "H5" << "InitSocketServer" << "already init socket server";
        return;
    }

    m_pSocketServer = new H5SocketServer(nullptr);
    m_pSocketServer->setMaxPendingConnections(maxPendingConnections);
    connect(redir, &H5redir::signalWriteDataToSocket, m_pSocketServer, &H5SocketServer::onWriteDataToSocket);
    connect(m_pSocketServer, &H5SocketServer::signalRecvDataFromSocket, redir, &H5redir::onRecvDataFromSocket);
    connect(m_pSocketServer, &H5SocketServer::signalSocketNewConn, redir, &H5redir::onSocketNewConn);
    connect(m_pSocketServer, &H5SocketServer::signalSocketDisConn, redir, &H5redir::onSocketDisConn);
    connect(redir, &H5redir::signalSetReadPaused, m_pSocketServer, &H5SocketServer::onSetReadPaused);
    connect(redir, &H5redir::signalReadTaken, m_pSocketServer, &H5SocketServer::onReadTaken);
    // A host that reports its backlog has the new server paced from the start.
    m_nTaken = 0;
    if (m_nChannelBacklog >= 0)
        m_pSocketServer->onSetReadPaused(m_bReadPaused);
    // Loopback only: the tunnel carries the host's own traffic and nobody else's.
    m_pSocketServer->listen(QHostAddress::LocalHost, quint16(port));
    // Qt listens with an accept queue of 50. A browser opening a page's connections at once goes
    // past that, and every connection beyond it waits out a one-second SYN retransmit; listening
    // again on the same socket only lengthens the queue (up to the system's somaxconn).
    if (m_pSocketServer->isListening())
        ::listen(int(m_pSocketServer->socketDescriptor()), SOMAXCONN);

    m_pSocketThread = new QThread(nullptr);
    connect(m_pSocketThread, &QThread::finished, m_pSocketServer, &QObject::deleteLater);
    m_pSocketServer->moveToThread(m_pSocketThread);
    m_pSocketThread->start(QThread::InheritPriority);

    SetProxy(port, localProxyHost);
    H5_DEBUG << "H5" << "InitSocketServer" << "end init";
}

void H5redir::CloseSocketServer()
{
    if (!m_pSocketServer || !m_pSocketThread)
        return;
    H5_INFO << "H5" << "CloseSocketServer" << "close socket server";
    DestroySocketServer();
}

// The server and its connections live on the server thread, so they are destroyed there, while
// that thread's event loop still runs: the connections the server schedules for deletion would
// outlive a loop that had already stopped.
void H5redir::DestroySocketServer()
{
    if (!m_pSocketThread)
        return;
    H5SocketServer *server = m_pSocketServer;
    QMetaObject::invokeMethod(
            server,
            [server] {
                delete server;
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            },
            Qt::BlockingQueuedConnection);
    m_pSocketThread->quit();
    m_pSocketThread->wait();
    delete m_pSocketThread;
    m_pSocketThread = nullptr;
    m_pSocketServer = nullptr;
}
