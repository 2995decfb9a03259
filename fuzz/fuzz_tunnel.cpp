// The tunnel's local side: loopback clients connect, send and close while frames arrive. The
// bridge and the loopback server run on this thread, wired as the library wires them, so every
// step has taken effect when it returns; after each one every byte must be where it belongs.
// The input's records are described in fuzz/README.md.
#include <h5redir/h5redir.h>
#include "h5socketserver.h"
#include "redirtesting.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int clientSlots = 4;
// What a step waits for is on loopback at once; this only bounds the wait for what never comes.
constexpr int pumpMs = 2000;

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) { }

[[noreturn]] void fail(const char* what, int id, const QByteArray& bytes = {})
{
    std::fprintf(stderr, "fuzz tunnel: %s (proxy id %d): %s\n", what, id, bytes.toHex().constData());
    std::abort();
}

class Rig
{
public:
    struct Client { int fd = -1, id = 0, previousId = 0; };

    static Rig& instance()
    {
        // Never destroyed: nothing of Qt may run during static destruction.
        static Rig* rig = [] {
            // Not even formatted: the library logs every frame.
            QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false"));
            qInstallMessageHandler(dropMessage);
            static int argc = 1;
            static char name[] = "fuzz_tunnel";
            static char* argv[] = { name, nullptr };
            new QCoreApplication(argc, argv);
            return new Rig;
        }();
        return *rig;
    }

    void open(int slot)
    {
        Client& client = m_clients[slot];
        if (client.fd >= 0)
            return;
        client.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // Each send is a step of its own: no waiting for an acknowledgement to coalesce them.
        const int noDelay = 1;
        setsockopt(client.fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        const timeval receiveWait { 1, 0 };
        setsockopt(client.fd, SOL_SOCKET, SO_RCVTIMEO, &receiveWait, sizeof receiveWait);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_server.serverPort());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(client.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            fail("connect", 0);
        if (!pumpUntil([&] { return !m_connects.isEmpty(); }))
            fail("no announcement of a new connection", 0);
        client.id = m_connects.takeLast();
        if (!m_connects.isEmpty())
            fail("a connection announced twice", client.id);
        for (const Client& other : m_clients)
            if (&other != &client && other.fd >= 0 && other.id == client.id)
                fail("two live connections share a proxy id", client.id);
    }

    void send(int slot, const QByteArray& bytes)
    {
        const Client& client = m_clients[slot];
        if (client.fd < 0 || bytes.isEmpty())
            return;
        const size_t size = size_t(bytes.size());
        if (::send(client.fd, bytes.constData(), size, MSG_NOSIGNAL) != ssize_t(size))
            fail("client send", client.id);
        if (!pumpUntil([&] { return m_fromClients.value(client.id).size() >= bytes.size(); }))
            fail("client bytes did not reach the channel", client.id);
        if (m_fromClients.take(client.id) != bytes)
            fail("client bytes changed on the channel", client.id, bytes);
    }

    // A frame 35 for `proxyId`; `expected` is what must reach the slot's client (if any).
    void inbound(int slot, qint32 proxyId, qint32 length, const QByteArray& payload,
        const QByteArray& expected)
    {
        H5Test::feed(m_redir, H5Test::frame(35, proxyId, length, payload));
        const Client& client = m_clients[slot];
        if (client.fd >= 0 && !expected.isEmpty()) {
            const QByteArray got = receive(client.fd, expected.size());
            if (got != expected)
                fail("frame bytes did not reach their connection whole", client.id, got);
        }
    }

    void close(int slot)
    {
        Client& client = m_clients[slot];
        if (client.fd < 0)
            return;
        // Closed with a reset: an orderly close leaves the port in TIME_WAIT, and at thousands of
        // connections a second the loopback's ephemeral ports run out within a minute.
        const linger reset { 1, 0 };
        setsockopt(client.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(client.fd);
        client.fd = -1;
        if (!pumpUntil([&] { return m_disconnects.contains(client.id); }))
            fail("no announcement of a closed connection", client.id);
        m_disconnects.clear();
        client.previousId = client.id;
    }

    // Nothing arrived that no step asked for: no client holds bytes, the channel carries none.
    void checkQuiet()
    {
        QCoreApplication::processEvents();
        for (const Client& client : m_clients) {
            char byte;
            if (client.fd >= 0 && recv(client.fd, &byte, 1, MSG_DONTWAIT) > 0)
                fail("foreign bytes in a connection", client.id, QByteArray(1, byte));
        }
        if (!m_fromClients.isEmpty())
            fail("bytes on the channel that no client sent", m_fromClients.begin().key(),
                m_fromClients.begin().value());
    }

    // The state every input starts from: the four clients connected in slot order, so that the
    // server lists them in that order too, none closed before.
    void start()
    {
        const bool inOrder = std::all_of(std::begin(m_clients), std::end(m_clients),
            [](const Client& client) { return client.previousId == 0 && client.fd >= 0; });
        for (int slot = 0; slot < clientSlots; ++slot) {
            if (!inOrder)
                close(slot);
            m_clients[slot].previousId = 0;
        }
        for (int slot = 0; slot < clientSlots; ++slot)
            open(slot);
    }

    const Client& at(int slot) const { return m_clients[slot]; }

private:
    Rig()
    {
        // As the library wires them, with both ends on one thread.
        QObject::connect(&m_redir, &H5redir::signalWriteDataToSocket, &m_server,
            &H5SocketServer::onWriteDataToSocket);
        QObject::connect(&m_server, &H5SocketServer::signalRecvDataFromSocket, &m_redir,
            &H5redir::onRecvDataFromSocket);
        QObject::connect(
            &m_server, &H5SocketServer::signalSocketNewConn, &m_redir, &H5redir::onSocketNewConn);
        QObject::connect(
            &m_server, &H5SocketServer::signalSocketDisConn, &m_redir, &H5redir::onSocketDisConn);
        QObject::connect(&m_redir, &H5redir::messageToSpice,
            [this](const QByteArray& msg, uint) { onChannel(msg); });
        if (!m_server.listen(QHostAddress::LocalHost, 0))
            fail("listen", 0);
    }

    void onChannel(const QByteArray& msg)
    {
        if (msg.startsWith('{')) {
            const QJsonObject json = QJsonDocument::fromJson(msg).object();
            const int id = json.value(QLatin1String("proxyid")).toInt();
            const int command = json.value(QLatin1String("commandId")).toInt();
            if (command == 32)
                m_connects.append(id);
            else if (command == 36)
                m_disconnects.append(id);
            else
                fail("unexpected message", id, msg);
            return;
        }
        const qint32 id = qFromLittleEndian<qint32>(msg.constData() + 4);
        if (msg.size() <= 12 || qFromLittleEndian<qint32>(msg.constData()) != 34
            || qFromLittleEndian<qint32>(msg.constData() + 8) != msg.size() - 12)
            fail("malformed frame 34", 0, msg);
        m_fromClients[id] += msg.mid(12);
    }

    template <typename Done> bool pumpUntil(Done done)
    {
        const QDeadlineTimer deadline(pumpMs);
        while (!done() && !deadline.hasExpired()) {
            QCoreApplication::processEvents();
            // No event loop runs here to delete what the server let go: its sockets close now.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        return done();
    }

    // Bounded by the client's receive time-out: what came by then.
    static QByteArray receive(int fd, int size)
    {
        QByteArray got(size, Qt::Uninitialized);
        const ssize_t n = recv(fd, got.data(), size_t(size), MSG_WAITALL);
        return got.left(int(qMax<ssize_t>(n, 0)));
    }

    H5redir m_redir;
    H5SocketServer m_server;
    Client m_clients[clientSlots];
    QList<int> m_connects;
    QList<int> m_disconnects;
    QHash<int, QByteArray> m_fromClients;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Rig& rig = Rig::instance();
    rig.start();
    size_t pos = 0;
    const auto next = [&]() -> QByteArray { // the next N bytes, N the byte before them
        const size_t wanted = pos < size ? data[pos++] : 0;
        const size_t length = qMin(wanted, size - pos);
        pos += length;
        return QByteArray(reinterpret_cast<const char*>(data) + pos - length, int(length));
    };
    while (pos < size) {
        const int slot = data[pos] & 3;
        const int step = data[pos++] >> 2;
        const auto& client = rig.at(slot);
        if (step == 0) {
            rig.open(slot);
        } else if (step == 1) {
            rig.close(slot);
        } else if (step == 2) {
            const QByteArray payload = next();
            if (client.previousId > 0 && !payload.isEmpty())
                rig.inbound(slot, client.previousId, payload.size(), payload, {});
        } else if (step <= 4) {
            const QByteArray payload = next();
            const qint32 length = payload.size() + (step == 3 ? -1 : 1);
            const bool fits = length >= 1 && length <= payload.size();
            if (client.fd >= 0)
                rig.inbound(
                    slot, client.id, length, payload, fits ? payload.left(length) : QByteArray());
        } else if (step % 2) {
            rig.send(slot, next());
        } else {
            const QByteArray payload = next();
            if (client.fd >= 0 && !payload.isEmpty())
                rig.inbound(slot, client.id, payload.size(), payload, payload);
        }
        rig.checkQuiet();
    }
    return 0;
}
