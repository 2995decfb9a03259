#ifndef UPSTREAMRELAY_H
#define UPSTREAMRELAY_H

#include <QHash>
#include <QObject>
#include <QString>

class QTcpSocket;

/*!
 * The server side of the library's tunnel: one TCP connection to the upstream HTTP proxy per
 * proxy id. The protocol has no way for the server to close a tunnelled connection, so when the
 * upstream ends, relaying simply stops; when it cannot be reached, the client gets an HTTP 502
 * answer instead, so its request fails rather than waits forever.
 */
class UpstreamRelay : public QObject
{
    Q_OBJECT

public:
    UpstreamRelay(const QString& host, quint16 port, QObject* parent = nullptr);

    void open(int proxyId);
    void write(int proxyId, const QByteArray& bytes);
    void close(int proxyId);

Q_SIGNALS:
    void dataForClient(int proxyId, const QByteArray& bytes);
    void event(const QString& line);

private:
    void fail(int proxyId, const QString& reason);

    QString m_host;
    quint16 m_port;
    QHash<int, QTcpSocket*> m_sockets;
};

#endif // UPSTREAMRELAY_H
