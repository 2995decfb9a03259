#include "channelclient.h"

namespace {

constexpr int retryIntervalMs = 500;

} // namespace

ChannelClient::ChannelClient(
    const QString& host, quint16 port, const FrameCodec& codec, QObject* parent)
    : QObject(parent)
    , m_host(host)
    , m_port(port)
    , m_codec(codec)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(retryIntervalMs);
    connect(&m_retry, &QTimer::timeout, this, &ChannelClient::start);
    connect(&m_socket, &QTcpSocket::stateChanged, this, &ChannelClient::onStateChanged);
    connect(&m_socket, &QTcpSocket::readyRead, this, &ChannelClient::onReadyRead);
}

ChannelClient::~ChannelClient()
{
    // Closing an open socket reports the loss, which must not reach a half-destroyed client.
    m_socket.disconnect(this);
}

void ChannelClient::start()
{
    m_codec.reset();
    m_socket.connectToHost(m_host, m_port);
}

void ChannelClient::send(quint32 type, const QByteArray& payload)
{
    if (m_connected)
        m_socket.write(m_codec.encode(type, payload));
}

void ChannelClient::onStateChanged(QAbstractSocket::SocketState state)
{
    if (state == QAbstractSocket::ConnectedState) {
        m_connected = true;
        Q_EMIT connectedChanged(true);
    } else if (state == QAbstractSocket::UnconnectedState) {
        if (m_connected) {
            m_connected = false;
            Q_EMIT connectedChanged(false);
        }
        m_retry.start();
    }
}

void ChannelClient::onReadyRead()
{
    const QVector<Frame> frames = m_codec.decode(m_socket.readAll());
    for (const Frame& frame : frames) {
        if (frame.error.isEmpty())
            Q_EMIT frameReceived(frame.type, frame.payload);
        else
            Q_EMIT problem(frame.error);
    }
    if (m_codec.isBroken())
        m_socket.abort();
}
