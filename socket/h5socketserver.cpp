#include "h5socketserver.h"

#include "h5socket.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QMutex>

#include <algorithm>
#include <deque>
#include <map>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int writeTimeoutMs = 30000;
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
        const QMutexLocker lock(&m_mutex);
        const qint64 until = QDeadlineTimer(quarantineMs).deadline();
        m_until[handle] = until;
        m_order.emplace_back(handle, until);
    }

    // The descriptor a newly accepted connection is to live under: itself, or a duplicate with a
    // number out of quarantine, the original closed.
    qintptr admit(qintptr descriptor)
    {
        const QMutexLocker lock(&m_mutex);
        expire(QDeadlineTimer::current().deadline());
        while (m_until.count(int(descriptor))) {
            // Above every quarantined number, so one call finds a number that is free to use.
            // Never dup2(): a number this process does not own may belong to another thread.
            const int moved = fcntl(int(descriptor), F_DUPFD_CLOEXEC, m_until.rbegin()->first + 1);
            if (moved >= 0) {
                ::close(int(descriptor));
                return moved;
            }
            // Out of descriptor numbers: shorten the oldest quarantine rather than refuse a client.
            const int released = releaseOldest();
            qInfo() << "H5" << "incomingConnection" << "handle quarantine cut short:" << released;
        }
        return descriptor;
    }

private:
    void expire(qint64 now)
    {
        while (!m_order.empty() && m_order.front().second <= now)
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
        const std::pair<int, qint64> entry = m_order.front();
        m_order.pop_front();
        const auto it = m_until.find(entry.first);
        if (it == m_until.end() || it->second != entry.second)
            return -1;
        m_until.erase(it);
        return entry.first;
    }

    QMutex m_mutex;
    // handle -> end of its quarantine, and the same entries in the order they end
    std::map<int, qint64> m_until;
    std::deque<std::pair<int, qint64>> m_order;
};

} // namespace

H5SocketServer::H5SocketServer(QObject *parent)
    : QTcpServer(parent)
{
    qDebug() << "H5" << "H5SocketServer";
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
    qDebug() << "H5" << "incomingConnection" << "new socket:" << handle << ",instance:" << socket;
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
    qDebug() << "H5" << "removeSocket" << "remove socket:" << handle;
    m_listSocket.removeOne(socket);
    HandleQuarantine::instance().add(handle);
    // Deferred: the connection may be inside one of its own signals right now.
    socket->deleteLater();
}

void H5SocketServer::onRecvDataFromSocket(int handle, const QByteArray &data)
{
    emit signalRecvDataFromSocket(handle, data);
}

void H5SocketServer::onWriteDataToSocket(int handle, const QByteArray &data)
{
    H5Socket *socket = getSocketPtr(handle);
    if (!socket)
        return;
    socket->write(data);
    if (!socket->waitForBytesWritten(writeTimeoutMs)) {
        qCritical() << "H5" << "onWriteDataToSocket" << "write timeout" << handle;
        removeSocket(handle);
    }
}

void H5SocketServer::onSocketDisConn(int handle)
{
    removeSocket(handle);
    emit signalSocketDisConn(handle);
}
