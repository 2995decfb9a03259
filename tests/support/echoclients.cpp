#include "echoclients.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QTcpSocket>

#include <cstring>
#include <memory>
#include <vector>

#include <sys/socket.h>

namespace {

constexpr int blockSize = 16 << 10;
// How far a connection may send ahead of its echo: bounds what is in flight in the tunnel.
constexpr qint64 window = 64 << 10;

QByteArray block(int index, qint64 number)
{
    const quint32 seed[] = { quint32(index), quint32(number) };
    QRandomGenerator random(seed, 2);
    QByteArray bytes(blockSize, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32*>(bytes.data()), blockSize / 4);
    return bytes;
}

} // namespace

struct EchoClients::Connection
{
    int index = 0;
    std::unique_ptr<QTcpSocket> socket;
    qint64 total = 0;
    qint64 sent = 0;
    qint64 received = 0;
    qint64 mismatchAt = -1;
    QCryptographicHash sentHash { QCryptographicHash::Sha256 };
    QCryptographicHash receivedHash { QCryptographicHash::Sha256 };
    bool sending = false;
    bool reading = true;
    bool countedComplete = false;
    bool countedClosed = false;
    // The block of the stream that the received bytes reached last.
    QByteArray expected;
    qint64 expectedNumber = -1;
};

class EchoClients::Worker : public QObject
{
public:
    explicit Worker(EchoClients* owner)
        : m_owner(owner)
    {
    }

    void open(quint16 port, int count, qint64 bytesEach)
    {
        for (int i = 0; i < count; ++i) {
            auto connection = std::make_unique<Connection>();
            Connection* c = connection.get();
            // Numbered across the whole run: every connection ever opened has its own stream.
            c->index = m_opened++;
            c->total = bytesEach;
            c->socket = std::make_unique<QTcpSocket>();
            // The redirector points the application proxy at the tunnel itself.
            c->socket->setProxy(QNetworkProxy::NoProxy);
            QObject::connect(c->socket.get(), &QTcpSocket::connected, this, [this, c] {
                ++m_owner->m_connected;
                pump(c);
            });
            QObject::connect(c->socket.get(), &QTcpSocket::readyRead, this, [this, c] { read(c); });
            QObject::connect(
                c->socket.get(), &QTcpSocket::bytesWritten, this, [this, c] { pump(c); });
            QObject::connect(c->socket.get(), &QTcpSocket::stateChanged, this,
                [this, c](QAbstractSocket::SocketState state) {
                    if (state == QAbstractSocket::UnconnectedState && !c->countedClosed) {
                        c->countedClosed = true;
                        ++m_owner->m_closed;
                    }
                });
            m_connections.push_back(std::move(connection));
            c->socket->connectToHost(QHostAddress::LocalHost, port);
        }
    }

    void pump(Connection* c)
    {
        while (c->sending && c->sent < c->total && c->sent - c->received < window) {
            const QByteArray bytes
                = streamBytes(c->index, c->sent, int(qMin<qint64>(blockSize, c->total - c->sent)));
            c->socket->write(bytes);
            c->sentHash.addData(bytes);
            c->sent += bytes.size();
        }
    }

    void read(Connection* c)
    {
        if (!c->reading)
            return;
        const QByteArray bytes = c->socket->readAll();
        for (int done = 0; done < bytes.size();) {
            const qint64 offset = c->received + done;
            if (offset / blockSize != c->expectedNumber) {
                c->expectedNumber = offset / blockSize;
                c->expected = block(c->index, c->expectedNumber);
            }
            const int at = int(offset % blockSize);
            const int length = qMin(bytes.size() - done, blockSize - at);
            if (c->mismatchAt < 0
                && std::memcmp(
                       bytes.constData() + done, c->expected.constData() + at, size_t(length))
                    != 0)
                c->mismatchAt = offset;
            done += length;
        }
        c->receivedHash.addData(bytes);
        c->received += bytes.size();
        if (c->received >= c->total && !c->countedComplete) {
            c->countedComplete = true;
            ++m_owner->m_complete;
        }
        pump(c);
    }

    std::vector<std::unique_ptr<Connection>> m_connections;

private:
    EchoClients* m_owner;
    int m_opened = 0;
};

EchoClients::EchoClients()
    : m_worker(new Worker(this))
{
    m_worker->moveToThread(&m_thread);
    m_thread.start();
    // Returns once the thread runs its event loop, with all it holds for that already open.
    run([] {});
}

EchoClients::~EchoClients()
{
    destroyAll();
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
}

void EchoClients::run(const std::function<void()>& action) const
{
    QMetaObject::invokeMethod(m_worker, action, Qt::BlockingQueuedConnection);
}

void EchoClients::open(quint16 port, int count, qint64 bytesEach)
{
    run([=] { m_worker->open(port, count, bytesEach); });
}

void EchoClients::startSending()
{
    run([this] {
        for (const auto& c : m_worker->m_connections) {
            c->sending = c->reading;
            m_worker->pump(c.get());
        }
    });
}

void EchoClients::abort(int index)
{
    run([=] { m_worker->m_connections.at(size_t(index))->socket->abort(); });
}

void EchoClients::halfClose(int index)
{
    run([=] {
        Connection* c = m_worker->m_connections.at(size_t(index)).get();
        c->sending = false;
        c->socket->flush();
        ::shutdown(int(c->socket->socketDescriptor()), SHUT_WR);
    });
}

void EchoClients::stopReading(int index)
{
    run([=] {
        Connection* c = m_worker->m_connections.at(size_t(index)).get();
        c->reading = false;
        c->sending = false;
        // One byte of read buffer: after that the socket leaves everything in the kernel.
        c->socket->setReadBufferSize(1);
    });
}

void EchoClients::closeAll()
{
    run([this] {
        for (const auto& c : m_worker->m_connections)
            c->socket->disconnectFromHost();
    });
}

void EchoClients::destroyAll()
{
    run([this] {
        // Closed first, while every connection is still whole for its own state signals.
        for (const auto& c : m_worker->m_connections)
            c->socket->abort();
        m_worker->m_connections.clear();
    });
}

QVector<EchoClients::Result> EchoClients::results() const
{
    QVector<Result> results;
    run([&] {
        for (const auto& c : m_worker->m_connections) {
            Result result;
            result.stream = c->index;
            result.sent = c->sent;
            result.received = c->received;
            result.mismatchAt = c->mismatchAt;
            result.sentSha256 = c->sentHash.result();
            result.receivedSha256 = c->receivedHash.result();
            results.append(result);
        }
    });
    return results;
}

QByteArray EchoClients::streamBytes(int stream, qint64 offset, int length)
{
    QByteArray bytes;
    bytes.reserve(length);
    while (bytes.size() < length) {
        const qint64 at = offset + bytes.size();
        bytes += block(stream, at / blockSize).mid(int(at % blockSize), length - bytes.size());
    }
    return bytes;
}
