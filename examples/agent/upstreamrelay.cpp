#include "upstreamrelay.h"

#include <QTcpSocket>

#include <utility>

namespace {

// Frames stay small enough that one slow connection does not hold the channel for long.
constexpr qint64 maxFramePayload = 64 * 1024;
// Requests are kept for sending again only up to this size; a bigger upload is not repeated.
constexpr int maxReplayBytes = 1 << 20;
// A header block longer than this is not HTTP as the relay knows it: bytes then pass unread.
constexpr int maxHeaderBytes = 64 * 1024;

} // namespace

// What the relay knows of one tunnelled connection's requests.
struct UpstreamRelay::Stream
{
    QTcpSocket* socket = nullptr;
    // The start of a request header block whose end has not arrived yet.
    QByteArray head;
    qint64 bodyLeft = 0;
    // After CONNECT, an upgrade, or a body whose end the relay does not track: the bytes pass
    // as they are, and a closed upstream is never reopened.
    bool opaque = false;
    // Request bytes sent since the upstream last answered, to send again if it closes instead.
    QByteArray unanswered;
    bool replayable = true;

    // The client's bytes as they go upstream: each header block asks for a persistent connection,
    // so that the answer's end is in its framing, not in a close the client would never see.
    QByteArray take(const QByteArray& bytes);
    QByteArray rewriteHeader(const QByteArray& block);
};

QByteArray UpstreamRelay::Stream::take(const QByteArray& bytes)
{
    QByteArray out;
    int at = 0;
    while (at < bytes.size()) {
        if (opaque) {
            out += bytes.mid(at);
            break;
        }
        if (bodyLeft > 0) {
            const int part = int(qMin<qint64>(bodyLeft, bytes.size() - at));
            out += bytes.mid(at, part);
            bodyLeft -= part;
            at += part;
            continue;
        }
        const int before = head.size();
        head += bytes.mid(at);
        const int end = head.indexOf("\r\n\r\n");
        if (end < 0) {
            if (head.size() > maxHeaderBytes) {
                opaque = true;
                out += head;
                head.clear();
            }
            break;
        }
        at += end + 4 - before;
        out += rewriteHeader(head.left(end + 4));
        head.clear();
    }
    return out;
}

QByteArray UpstreamRelay::Stream::rewriteHeader(const QByteArray& block)
{
    const QList<QByteArray> lines = block.left(block.size() - 4).split('\n');
    opaque = lines.first().startsWith("CONNECT ");
    QByteArray kept;
    for (const QByteArray& crlfLine : lines) {
        const QByteArray line = crlfLine.endsWith('\r') ? crlfLine.chopped(1) : crlfLine;
        const int colon = line.indexOf(':');
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed().toLower();
        if (colon > 0 && name == "content-length")
            bodyLeft = value.toLongLong();
        else if (colon > 0 && name == "transfer-encoding")
            opaque = true;
        else if (colon > 0 && name == "connection" && value.contains("upgrade"))
            opaque = true;
        if (colon > 0 && (name == "connection" || name == "proxy-connection"))
            continue;
        kept += line + "\r\n";
    }
    if (opaque)
        return block;
    return kept + "Connection: keep-alive\r\n\r\n";
}

UpstreamRelay::UpstreamRelay(const QString& host, quint16 port, QObject* parent)
    : QObject(parent)
    , m_host(host)
    , m_port(port)
{
}

UpstreamRelay::~UpstreamRelay() = default;

void UpstreamRelay::open(int proxyId)
{
    close(proxyId);
    Stream& stream = *m_streams.emplace(proxyId, std::make_unique<Stream>()).first->second;
    connectUpstream(proxyId, stream);
}

void UpstreamRelay::connectUpstream(int proxyId, Stream& stream)
{
    if (m_host.isEmpty()) {
        fail(proxyId, QStringLiteral("no upstream configured"));
        return;
    }
    auto* socket = new QTcpSocket(this);
    stream.socket = socket;
    // Once connected, an error ends the relaying like a close does: no made-up answer mid-stream.
    auto reached = std::make_shared<bool>(false);
    connect(socket, &QTcpSocket::connected, this, [this, proxyId, reached] {
        *reached = true;
        Q_EMIT event(
            QStringLiteral("upstream %1 connected to %2:%3").arg(proxyId).arg(m_host).arg(m_port));
    });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, proxyId] {
        Stream* current = streamOf(proxyId, socket);
        if (!current)
            return;
        current->unanswered.clear();
        current->replayable = true;
        while (socket->bytesAvailable() > 0)
            Q_EMIT dataForClient(proxyId, socket->read(maxFramePayload));
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket, proxyId, reached] {
        if (!*reached && streamOf(proxyId, socket))
            fail(proxyId, socket->errorString());
    });
    connect(socket, &QTcpSocket::disconnected, this,
        [this, socket, proxyId] { onUpstreamClosed(proxyId, socket); });
    // Bytes written before the connection completes are buffered by the socket.
    socket->connectToHost(m_host, m_port);
}

UpstreamRelay::Stream* UpstreamRelay::streamOf(int proxyId, QTcpSocket* socket) const
{
    const auto it = m_streams.find(proxyId);
    return it != m_streams.end() && it->second->socket == socket ? it->second.get() : nullptr;
}

void UpstreamRelay::onUpstreamClosed(int proxyId, QTcpSocket* socket)
{
    Stream* current = streamOf(proxyId, socket);
    if (!current)
        return;
    Stream& stream = *current;
    stream.socket = nullptr;
    socket->deleteLater();
    if (stream.opaque) {
        Q_EMIT event(QStringLiteral("upstream %1 closed, relaying stops").arg(proxyId));
        return;
    }
    // The close crossed a request on its way: it goes again, once, on a fresh connection.
    if (!stream.unanswered.isEmpty() && stream.replayable) {
        Q_EMIT event(QStringLiteral("upstream %1 closed without answering, %2 bytes sent again")
                         .arg(proxyId)
                         .arg(stream.unanswered.size()));
        const QByteArray again = std::exchange(stream.unanswered, {});
        stream.replayable = false;
        connectUpstream(proxyId, stream);
        if (stream.socket)
            stream.socket->write(again);
        return;
    }
    Q_EMIT event(
        QStringLiteral("upstream %1 closed, the next request opens a fresh one").arg(proxyId));
}

void UpstreamRelay::write(int proxyId, const QByteArray& bytes)
{
    const auto it = m_streams.find(proxyId);
    if (it == m_streams.end()) {
        Q_EMIT event(QStringLiteral("upstream %1 is not open, %2 bytes dropped")
                         .arg(proxyId)
                         .arg(bytes.size()));
        return;
    }
    Stream& stream = *it->second;
    const bool atRequestStart = !stream.opaque && stream.head.isEmpty() && stream.bodyLeft == 0;
    const QByteArray out = stream.take(bytes);
    if (!stream.socket) {
        if (!atRequestStart) {
            Q_EMIT event(QStringLiteral("upstream %1 is not open, %2 bytes dropped")
                             .arg(proxyId)
                             .arg(bytes.size()));
            return;
        }
        Q_EMIT event(QStringLiteral("upstream %1 reopened for the next request").arg(proxyId));
        connectUpstream(proxyId, stream);
        if (!stream.socket)
            return;
    }
    send(stream, out);
}

void UpstreamRelay::send(Stream& stream, const QByteArray& bytes)
{
    if (stream.opaque || stream.unanswered.size() + bytes.size() > maxReplayBytes) {
        stream.unanswered.clear();
        stream.replayable = false;
    } else {
        stream.unanswered += bytes;
    }
    stream.socket->write(bytes);
}

void UpstreamRelay::close(int proxyId)
{
    const auto it = m_streams.find(proxyId);
    if (it == m_streams.end())
        return;
    QTcpSocket* socket = it->second->socket;
    // Gone before the socket's own close can report anything about it.
    m_streams.erase(it);
    if (socket) {
        Q_EMIT event(QStringLiteral("upstream %1 closed by the client").arg(proxyId));
        socket->disconnectFromHost();
        socket->deleteLater();
    }
}

void UpstreamRelay::fail(int proxyId, const QString& reason)
{
    Q_EMIT event(
        QStringLiteral("upstream %1 unreachable (%2), answering 502").arg(proxyId).arg(reason));
    const auto it = m_streams.find(proxyId);
    if (it != m_streams.end() && it->second->socket) {
        it->second->socket->deleteLater();
        it->second->socket = nullptr;
    }
    const QByteArray body = "upstream unreachable: " + reason.toUtf8() + '\n';
    Q_EMIT dataForClient(proxyId,
        "HTTP/1.1 502 Bad Gateway\r\nContent-Type: text/plain\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}
