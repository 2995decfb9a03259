#include "h5socketserver.h"

#include "h5socket.h"
#include "h5log.h"

#include <algorithm>

namespace {

constexpr int writeTimeoutMs = 30000;

} // namespace

H5SocketServer::H5SocketServer(QObject *parent)
    : QTcpServer(parent)
{
    H5_DEBUG << "H5" << "H5SocketServer";
}

H5SocketServer::~H5SocketServer()
{
    for (H5Socket *socket : qAsConst(m_listSocket)) {
        if (socket)
            socket->deleteLater();
    }
    m_listSocket.clear();
    close();
}

void H5SocketServer::incomingConnection(qintptr handle)
{
    auto *socket = new H5Socket(handle, nullptr);
    socket->setSocketOption(QAbstractSocket::LowDelayOption, true);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, true);
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
        H5_CRITICAL << "H5" << "onWriteDataToSocket" << "write timeout" << handle;
        removeSocket(handle);
    }
}

void H5SocketServer::onSocketDisConn(int handle)
{
    removeSocket(handle);
    emit signalSocketDisConn(handle);
}
