#ifndef H5SOCKET_H
#define H5SOCKET_H

#include "h5redir_export.h"

#include <QByteArray>
#include <QTcpSocket>

/*!
 * One accepted loopback connection of H5SocketServer, named by its handle: the socket descriptor
 * it was built from, which also names it on the channel. Every read becomes one block of
 * signalRecvDataFromSocket(), as large as the read buffer size its creator sets allows.
 */
class H5REDIR_EXPORT H5Socket : public QTcpSocket
{
    Q_OBJECT

public:
    H5Socket(qintptr socketDescriptor, QObject *parent = nullptr);
    // A connection destroyed while still open (dropped after a write timeout) reports its
    // disconnection first, so the server side always learns that the stream has ended.
    ~H5Socket() override;

    qintptr getSocketDescriptor();
    // While paused, nothing is read: the bytes wait in this socket's buffer and, once it is full,
    // in the kernel, which then stops the peer. Resuming hands on what the buffer holds.
    void setReadPaused(bool bPaused);

Q_SIGNALS:
    void signalRecvDataFromSocket(int handle, const QByteArray &data);
    void signalSocketDisConn(int handle);

public Q_SLOTS:
    void onReadData();
    void onSocketDisConn();

private:
    const qintptr m_nSocketDescriptor;
    bool m_bReadPaused = false;

    Q_DISABLE_COPY(H5Socket)
};

#endif // H5SOCKET_H
