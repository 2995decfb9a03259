#ifndef CHANNELCLIENT_H
#define CHANNELCLIENT_H

#include "channelframe.h"

#include <QObject>
#include <QTcpSocket>
#include <QTimer>

/*!
 * The host's channel to the server-side agent: a TCP connection carrying framed messages. It
 * reconnects on its own whenever the connection is lost or cannot be made.
 */
class ChannelClient : public QObject
{
    Q_OBJECT

public:
    ChannelClient(
        const QString& host, quint16 port, const FrameCodec& codec, QObject* parent = nullptr);
    ~ChannelClient() override;

    void start();
    void send(quint32 type, const QByteArray& payload);

Q_SIGNALS:
    void connectedChanged(bool connected);
    void frameReceived(quint32 type, const QByteArray& payload);
    void problem(const QString& line);

private:
    void onStateChanged(QAbstractSocket::SocketState state);
    void onReadyRead();

    QString m_host;
    quint16 m_port;
    FrameCodec m_codec;
    QTcpSocket m_socket;
    QTimer m_retry;
    bool m_connected = false;
};

#endif // CHANNELCLIENT_H
