#include "h5socketserver.h"

#include "h5socket.h"
#include "h5log.h"

#include <QDeadlineTimer>
#include <QMap>
#include <QPair>
#include <QQueue>

#include <algorithm>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int writeTimeoutMs = 30000;
// The most one read of a connection takes, and so the largest data message an upload becomes:
// larger reads cost the same per byte and only make the messages, and their copies on the way to
// the channel, larger. Benchmarks build the library with other values to compare them.
#ifndef H5SOCKET_READ_BYTES
#define H5SOCKET_READ_BYTES (256 * 1024)
#endif
constexpr qint64 readLimitBytes = H5SOCKET_READ_BYTES;
// Bytes passed on to the creator's thread but not yet taken there, at which reading stops: that
// thread may be busy elsewhere for a while, and the blocks would otherwise pile up in its queue.
constexpr qint64 untakenLimitBytes = 8 * 1024 * 1024;
// The handle of a connection is its descriptor number, and the system gives a closed number to
// the next accepted connection at once. Frames the server side sent before it learnt of a close
// (the messages cross on the channel) would then be written into a stranger's connection. So a
// handle is not used again until those frames have surely drained: longer than one blocked write
// plus a channel round trip.
constexpr qint64 quarantineMs = 60000;

/*!
 * Handles recently taken out of use, process-wide since descriptor numbers are; a later server
 * of the same channel must not hand them out either.
 */
class HandleQuarantine
{
public:
    static HandleQuarantine &instance()
    {
        // Never destroyed: a server thread may still run while the process exits.
        static auto *quarantine = new HandleQuarantine;
        return *quarantine;
    }

    void add(int handle)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const qint64 until = QDeadlineTimer(quarantineMs).deadline();
        m_until[handle] = until;
        m_order.enqueue(qMakePair(handle, until));
    }

    // The descriptor a newly accepted connection is to live under: itself, or a duplicate with a
    // number out of quarantine, the original closed.
    qintptr admit(qintptr descriptor)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        expire(QDeadlineTimer::current().deadline());
        while (m_until.contains(int(descriptor))) {
            // Above every quarantined number, so one call finds a number that is free to use.
            // Never dup2(): a number this process does not own may belong to another thread.
            const int moved = fcntl(int(descriptor), F_DUPFD_CLOEXEC, m_until.lastKey() + 1);
            if (moved >= 0) {
                ::close(int(descriptor));
                return moved;
            }
            // Out of descriptor numbers: shorten the oldest quarantine rather than refuse a client.
            const int released = releaseOldest();
            H5_INFO << "H5" << "incomingConnection" << "handle quarantine cut short:" << released;
        }
        return descriptor;
    }

private:
    void expire(qint64 now)
    {
        while (!m_order.isEmpty() && m_order.head().second <= now)
            dropFront();
    }

    int releaseOldest()
    {
        int handle = -1;
        while (handle < 0)
            handle = dropFront();
        return handle;
    }

    // The handle released, or -1 when the entry had been superseded by a later one.
    int dropFront()
    {
        const QPair<int, qint64> entry = m_order.dequeue();
        const auto it = m_until.find(entry.first);
        if (it == m_until.end() || it.value() != entry.second)
            return -1;
        m_until.erase(it);
        return entry.first;
    }

    // The servers of a process, one after another, each on a thread of its own, share this:
    // std::mutex rather than QMutex, whose locking in Debian's Qt ThreadSanitizer cannot see.
    std::mutex m_mutex;
    // Qt's containers rather than the standard ones: their instantiations stay out of the
    // library's exported symbols.
    // handle -> end of its quarantine, and the same entries in the order they end
    QMap<int, qint64> m_until;
    QQueue<QPair<int, qint64>> m_order;
};

} // namespace

H5SocketServer::H5SocketServer(QObject *parent)
    : QTcpServer(parent)
{
    H5_DEBUG << "H5" << "H5SocketServer";
}

H5SocketServer::~H5SocketServer()
{
    for (H5Socket *socket : qAsConst(m_listSocket)) {
        if (socket) {
            HandleQuarantine::instance().add(int(socket->getSocketDescriptor()));
            socket->deleteLater();
        }
    }
    m_listSocket.clear();
    close();
}

void H5SocketServer::incomingConnection(qintptr descriptor)
{
    const qintptr handle = HandleQuarantine::instance().admit(descriptor);
    auto *socket = new H5Socket(handle, nullptr);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, true);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, true);
    // Qt reads no more than fits in the read buffer: each readyRead() then brings at most this.
    socket->setReadBufferSize(readLimitBytes);
    socket->setReadPaused(m_bReadPaused);
    H5_DEBUG << "H5" << "incomingConnection" << "new socket:" << handle << ",instance:" << socket;
    connect(socket, &H5Socket::signalRecvDataFromSocket, this, &H5SocketServer::onRecvDataFromSocket);
    connect(socket, &H5Socket::signalSocketDisConn, this, &H5SocketServer::onSocketDisConn);
    m_listSocket.append(socket);
    emit signalSocketNewConn(int(handle));
}

H5Socket *H5SocketServer::getSocketPtr(int handle)
{
    // Descriptor numbers are reused: the first listed connection with the number is the live one.
    const auto it = std::find_if(m_listSocket.cbegin(), m_listSocket.cend(), [handle](H5Socket *socket) {
        return socket && socket->getSocketDescriptor() == qintptr(handle);
    });
    return it == m_listSocket.cend() ? nullptr : *it;
}

void H5SocketServer::removeSocket(int handle)
{
    if (handle == -1)
        return;
    H5Socket *socket = getSocketPtr(handle);
    if (!socket)
        return;
    H5_DEBUG << "H5" << "removeSocket" << "remove socket:" << handle;
    m_listSocket.removeOne(socket);
    HandleQuarantine::instance().add(handle);
    // Deferred: the connection may be inside one of its own signals right now.
    socket->deleteLater();
}

void H5SocketServer::onRecvDataFromSocket(int handle, const QByteArray &data)
{
    emit signalRecvDataFromSocket(handle, data);
    if (m_bPaced) {
        m_nUntaken += data.size();
        followReadState();
    }
}

void H5SocketServer::onWriteDataToSocket(int handle, const QByteArray &data)
{
    H5Socket *socket = getSocketPtr(handle);
    if (!socket)
        return;
    socket->write(data);
    if (!socket->waitForBytesWritten(writeTimeoutMs)) {
        H5_CRITICAL << "H5" << "onWriteDataToSocket" << "write timeout" << handle;
        removeSocket(handle);
    }
}

void H5SocketServer::onSocketDisConn(int handle)
{
    removeSocket(handle);
    emit signalSocketDisConn(handle);
}

void H5SocketServer::onSetReadPaused(bool bPaused)
{
    // Blocks passed on before the pacing began are reported taken too: the count errs low by
    // those, never high.
    m_bPaced = true;
    m_bChannelFull = bPaused;
    followReadState();
}

void H5SocketServer::onReadTaken(qint64 bytes)
{
    m_nUntaken = qMax<qint64>(0, m_nUntaken - bytes);
    followReadState();
}

void H5SocketServer::followReadState()
{
    const bool bPause = m_bChannelFull || m_nUntaken >= untakenLimitBytes;
    if (bPause == m_bReadPaused)
        return;
    m_bReadPaused = bPause;
    for (H5Socket *socket : qAsConst(m_listSocket)) {
        if (socket)
            socket->setReadPaused(bPause);
        // A connection resumed hands on its buffer, which can pause the reads again; that call
        // has then set every connection itself.
        if (m_bReadPaused != bPause)
            return;
    }
}
