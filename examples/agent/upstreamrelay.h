#ifndef UPSTREAMRELAY_H
#define UPSTREAMRELAY_H

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>
#include <unordered_map>

class QTcpSocket;

/*!
 * The server side of the library's tunnel: one TCP connection to the upstream HTTP proxy per
 * proxy id. The protocol has no way for the server to close a tunnelled connection, so the client
 * never learns that the upstream closed its side, and goes on sending requests on it. For plain
 * HTTP that is harmless: every request carries its whole target, so the relay sends it on a fresh
 * upstream connection (and sends again a request the upstream closed on without answering). A
 * CONNECT tunnel cannot be reopened: when its upstream ends, relaying stops. When the upstream
 * cannot be reached, the client gets an HTTP 502 answer, so its request fails rather than waits.
 */
class UpstreamRelay : public QObject
{
    Q_OBJECT

public:
    UpstreamRelay(const QString& host, quint16 port, QObject* parent = nullptr);
    ~UpstreamRelay() override;

    void open(int proxyId);
    void write(int proxyId, const QByteArray& bytes);
    void close(int proxyId);

Q_SIGNALS:
    void dataForClient(int proxyId, const QByteArray& bytes);
    void event(const QString& line);

private:
    struct Stream;

    // The stream of the proxy id while `socket` is its upstream connection, else null.
    Stream* streamOf(int proxyId, QTcpSocket* socket) const;
    void connectUpstream(int proxyId, Stream& stream);
    void onUpstreamClosed(int proxyId, QTcpSocket* socket);
    void send(Stream& stream, const QByteArray& bytes);
    void fail(int proxyId, const QString& reason);

    QString m_host;
    quint16 m_port;
    std::unordered_map<int, std::unique_ptr<Stream>> m_streams;
};

#endif // UPSTREAMRELAY_H
