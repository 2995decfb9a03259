#include "h5socket.h"

#include "h5log.h"

H5Socket::H5Socket(qintptr socketDescriptor, QObject *parent)
    : QTcpSocket(parent)
    , m_nSocketDescriptor(socketDescriptor)
{
    connect(this, &QIODevice::readyRead, this, &H5Socket::onReadData);
    connect(this, &QAbstractSocket::disconnected, this, &H5Socket::onSocketDisConn);
    setSocketDescriptor(socketDescriptor, ConnectedState, ReadWrite);
}

H5Socket::~H5Socket()
{
    // Closing here, while this class is still whole, lets disconnected() reach
    // onSocketDisConn(); QAbstractSocket's own destructor would close it too late for that.
    if (state() != UnconnectedState)
        abort();
}

qintptr H5Socket::getSocketDescriptor()
{
    return m_nSocketDescriptor;
}

void H5Socket::setReadPaused(bool bPaused)
{
    m_bReadPaused = bPaused;
    // A socket whose buffer filled up reads the connection again only once that buffer has been
    // read from; no readyRead() comes for the bytes already in it.
    if (!bPaused && bytesAvailable() > 0)
        onReadData();
}

void H5Socket::onReadData()
{
    if (m_bReadPaused)
        return;
    // Asking for exactly what is buffered lets QIODevice hand over its read chunk as it stands,
    // where readAll() would copy it into a fresh array.
    emit signalRecvDataFromSocket(int(m_nSocketDescriptor), read(bytesAvailable()));
}

void H5Socket::onSocketDisConn()
{
    // A pause may have held bytes back; they are the stream's last and go before its end. Qt
    // keeps the read buffer of a socket its peer closed.
    if (bytesAvailable() > 0)
        emit signalRecvDataFromSocket(int(m_nSocketDescriptor), read(bytesAvailable()));
    H5_DEBUG << "H5" << "onSocketDisConn" << "disconn:" << m_nSocketDescriptor << ",instance:" << this;
    emit signalSocketDisConn(int(m_nSocketDescriptor));
}
