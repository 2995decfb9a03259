#include "upstreamrelay.h"

#include <QTcpSocket>

#include <memory>

namespace {

// Frames stay small enough that one slow connection does not hold the channel for long.
constexpr qint64 maxFramePayload = 64 * 1024;

} // namespace

UpstreamRelay::UpstreamRelay(const QString& host, quint16 port, QObject* parent)
    : QObject(parent)
    , m_host(host)
    , m_port(port)
{
}

void UpstreamRelay::open(int proxyId)
{
    close(proxyId);
    if (m_host.isEmpty()) {
        fail(proxyId, QStringLiteral("no upstream configured"));
        return;
    }
    auto* socket = new QTcpSocket(this);
    m_sockets.insert(proxyId, socket);
    // Once connected, an error ends the relaying like a close does: no made-up answer mid-stream.
    auto reached = std::make_shared<bool>(false);
    connect(socket, &QTcpSocket::connected, this, [this, proxyId, reached] {
        *reached = true;
        Q_EMIT event(
            QStringLiteral("upstream %1 connected to %2:%3").arg(proxyId).arg(m_host).arg(m_port));
    });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, proxyId] {
        while (socket->bytesAvailable() > 0)
            Q_EMIT dataForClient(proxyId, socket->read(maxFramePayload));
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket, proxyId, reached] {
        if (!*reached && m_sockets.value(proxyId) == socket)
            fail(proxyId, socket->errorString());
    });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket, proxyId] {
        if (m_sockets.value(proxyId) != socket)
            return;
        Q_EMIT event(QStringLiteral("upstream %1 closed, relaying stops").arg(proxyId));
        m_sockets.remove(proxyId);
        socket->deleteLater();
    });
    // Bytes written before the connection completes are buffered by the socket.
    socket->connectToHost(m_host, m_port);
}

void UpstreamRelay::write(int proxyId, const QByteArray& bytes)
{
    if (QTcpSocket* socket = m_sockets.value(proxyId))
        socket->write(bytes);
    else
        Q_EMIT event(QStringLiteral("upstream %1 is not open, %2 bytes dropped")
                         .arg(proxyId)
                         .arg(bytes.size()));
}

void UpstreamRelay::close(int proxyId)
{
    if (QTcpSocket* socket = m_sockets.take(proxyId)) {
        Q_EMIT event(QStringLiteral("upstream %1 closed by the client").arg(proxyId));
        socket->disconnectFromHost();
        socket->deleteLater();
    }
}

void UpstreamRelay::fail(int proxyId, const QString& reason)
{
    Q_EMIT event(
        QStringLiteral("upstream %1 unreachable (%2), answering 502").arg(proxyId).arg(reason));
    if (QTcpSocket* socket = m_sockets.take(proxyId))
        socket->deleteLater();
    const QByteArray body = "upstream unreachable: " + reason.toUtf8() + '\n';
    Q_EMIT dataForClient(proxyId,
        "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}
