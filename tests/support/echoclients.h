#ifndef ECHOCLIENTS_H
#define ECHOCLIENTS_H

#include <QByteArray>
#include <QThread>
#include <QVector>

#include <atomic>
#include <functional>

class QTcpSocket;

/*!
 * Loopback clients of the tunnel on a thread of their own, so that they go on reading while the
 * test's thread is busy in, or blocked by, the redirector.
 *
 * The n-th connection opened sends stream n, seeded random bytes of its own, never more than a
 * window ahead of what has come back, and checks every byte it receives against that same stream at
 * the same offset: bytes that went to another connection, or came back out of order, show as a
 * mismatch. Both directions are also hashed with SHA-256.
 */
class EchoClients
{
public:
    struct Result
    {
        // The number of the connection's stream (streamBytes()).
        int stream = 0;
        qint64 sent = 0;
        qint64 received = 0;
        // Offset of the first received byte that differs from the stream, or -1.
        qint64 mismatchAt = -1;
        QByteArray sentSha256;
        QByteArray receivedSha256;
    };

    EchoClients();
    ~EchoClients();

    // Opens `count` connections to 127.0.0.1:port, a few at a time; returns at once.
    void open(quint16 port, int count, qint64 bytesEach);
    int connected() const { return m_connected; }
    // Connections that got their whole stream back.
    int complete() const { return m_complete; }
    // Connections whose socket has closed, for whatever reason.
    int closed() const { return m_closed; }

    void startSending();
    // Faults on one connection; a connection that stops reading also stops sending.
    void abort(int index);
    void halfClose(int index);
    void stopReading(int index);
    // Closes every connection in order after what it has written.
    void closeAll();
    // Destroys every socket, closing its descriptor; the next connection opened still gets a
    // stream of its own.
    void destroyAll();

    // The live connections, in the order they were opened.
    QVector<Result> results() const;
    static QByteArray streamBytes(int stream, qint64 offset, int length);

private:
    struct Connection;
    class Worker;

    void run(const std::function<void()>& action) const;

    QThread m_thread;
    Worker* m_worker;
    std::atomic<int> m_connected { 0 };
    std::atomic<int> m_complete { 0 };
    std::atomic<int> m_closed { 0 };
};

#endif // ECHOCLIENTS_H
