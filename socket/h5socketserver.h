#ifndef H5SOCKETSERVER_H
#define H5SOCKETSERVER_H

#include "h5redir_export.h"

#include <QByteArray>
#include <QList>
#include <QTcpServer>

class H5Socket;

/*!
 * The loopback server of the proxy tunnel. It keeps the live connections, reports each new
 * connection, each block of received bytes and each ended connection by signal, and writes the
 * bytes the server side sends back into the connection their handle names.
 *
 * Lives, with all its connections, on a thread of its own; it owns the connections.
 *
 * Reading is paced by its creator once it calls onSetReadPaused(): from then on the server stops
 * reading every connection while told the channel is backed up, and also while the blocks it
 * passed on and its creator has not yet reported taken (onReadTaken()) add up to 8 MiB, as when
 * the creator's thread is busy elsewhere. It has no view of the channel itself.
 */
class H5REDIR_EXPORT H5SocketServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit H5SocketServer(QObject *parent = nullptr);
    // Destroys every connection without reporting it as ended.
    ~H5SocketServer() override;

    H5Socket *getSocketPtr(int handle);
    void removeSocket(int handle);

Q_SIGNALS:
    void signalSocketNewConn(int handle);
    void signalRecvDataFromSocket(int handle, const QByteArray &data);
    void signalSocketDisConn(int handle);

public Q_SLOTS:
    void onRecvDataFromSocket(int handle, const QByteArray &data);
    // Blocks this thread until the bytes are on their way, at most 30 s; a connection whose
    // reader stalls that long is dropped, and reports its end through signalSocketDisConn().
    void onWriteDataToSocket(int handle, const QByteArray &data);
    void onSocketDisConn(int handle);
    // The channel is backed up, or no longer; the first call starts the pacing.
    void onSetReadPaused(bool bPaused);
    void onReadTaken(qint64 bytes);

protected:
    // Adopts the connection under a handle that no recently ended connection had.
    void incomingConnection(qintptr descriptor) override;

private:
    void followReadState();

    QList<H5Socket *> m_listSocket;
    bool m_bPaced = false;
    bool m_bChannelFull = false;
    // Bytes passed on by signalRecvDataFromSocket() since the pacing began, less those reported
    // taken.
    qint64 m_nUntaken = 0;
    bool m_bReadPaused = false;

    Q_DISABLE_COPY(H5SocketServer)
};

#endif // H5SOCKETSERVER_H
