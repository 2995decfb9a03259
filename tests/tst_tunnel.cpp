// The local proxy tunnel over real loopback sockets: the proxy policy, the server's start and
// close, and the bytes of each connection on their way through the channel and back.
#include <h5redir/h5redir.h>
#include "channelmessages.h"
#include "logcapture.h"
#include "redirtesting.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

#include <memory>

using namespace H5Test;

namespace {

constexpr int waitMs = 10000;
const QByteArray policyMsg = QByteArrayLiteral("{\"commandId\":30,\"port\":0}");

// Binding fails exactly while somebody listens there (QTcpServer reuses TIME_WAIT addresses).
bool portTaken(quint16 port, quint16 *freePort = nullptr)
{
    QTcpServer probe;
    probe.setProxy(QNetworkProxy::NoProxy);
    const bool bound = probe.listen(QHostAddress::LocalHost, port);
    if (freePort)
        *freePort = probe.serverPort();
    return !bound;
}

// Waits for at least `size` bytes, then takes everything that came; the caller compares.
QByteArray readAtLeast(QTcpSocket *socket, int size)
{
    static_cast<void>(QTest::qWaitFor([&] { return socket->bytesAvailable() >= size; }, waitMs));
    return socket->readAll();
}

bool closedByPeer(QTcpSocket *socket)
{
    return QTest::qWaitFor(
               [&] { return socket->state() == QAbstractSocket::UnconnectedState; }, waitMs)
        && socket->error() == QAbstractSocket::RemoteHostClosedError;
}

} // namespace

class TunnelTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void policy_data();
    void policy();
    void repeatedPolicyAndChannelState();
    void closeSocketServer();
    void oneConnectionInOrder();
    void inboundFrame_data();
    void inboundFrame();
    void echo_data();
    void echo();
    void noForeignBytes();
    void destroyWithOpenConnections();

private:
    struct Client
    {
        QTcpSocket *socket = nullptr;
        int id = -1;
    };

    void record(const QByteArray &msg, uint type);
    void feed(const QByteArray &bytes) { H5Test::feed(*m_redir, bytes); }
    Client connectClient();
    QList<int> announced(int command) const;
    QStringList behaviourLines() const;

    // Made per test: QtTest installs its own message handler after the test object exists.
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<H5redir> m_redir;
    std::unique_ptr<QObject> m_clients;
    quint16 m_port = 0;
    QByteArrayList m_messages;
    QHash<int, QByteArray> m_fromClient;
    QList<bool> m_listeningAtPolicy;
    int m_malformed = 0;
    int m_sentWhileDeleting = 0;
    bool m_deleting = false;
    bool m_echo = false;
};

void TunnelTest::init()
{
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    portTaken(0, &m_port);
    m_messages.clear();
    m_fromClient.clear();
    m_listeningAtPolicy.clear();
    m_malformed = m_sentWhileDeleting = 0;
    m_deleting = m_echo = false;
    m_clients.reset(new QObject);
    m_redir.reset(new H5redir);
    connect(m_redir.get(), &H5redir::messageToSpice, this, &TunnelTest::record);
    m_log.reset(new LogCapture);
}

void TunnelTest::cleanup()
{
    m_clients.reset();
    m_redir.reset();
    m_log.reset();
    QCOMPARE(m_malformed, 0);
}

// The host's side of the channel: every message is kept, and frames are checked and echoed.
void TunnelTest::record(const QByteArray &msg, uint type)
{
    m_malformed += type != 113;
    m_sentWhileDeleting += m_deleting;
    m_messages.append(msg);
    if (msg == policyMsg)
        m_listeningAtPolicy.append(portTaken(m_port));
    if (msg.size() < 12 || qFromLittleEndian<qint32>(msg.constData()) != 34)
        return;
    const qint32 id = qFromLittleEndian<qint32>(msg.constData() + 4);
    const qint32 length = qFromLittleEndian<qint32>(msg.constData() + 8);
    m_malformed += length < 1 || length != msg.size() - 12;
    m_fromClient[id] += msg.mid(12);
    if (m_echo)
        feed(frame(35, id, length, msg.mid(12)));
}

TunnelTest::Client TunnelTest::connectClient()
{
    Client client;
    client.socket = new QTcpSocket(m_clients.get());
    // The library points the application proxy at this very server.
    client.socket->setProxy(QNetworkProxy::NoProxy);
    const int before = announced(32).size();
    client.socket->connectToHost(QHostAddress::LocalHost, m_port);
    if (client.socket->waitForConnected(waitMs)
        && QTest::qWaitFor([&] { return announced(32).size() > before; }, waitMs))
        client.id = announced(32).last();
    return client;
}

QList<int> TunnelTest::announced(int command) const
{
    QList<int> ids;
    for (const QByteArray &msg : m_messages) {
        const QJsonObject json = QJsonDocument::fromJson(msg).object();
        if (json.value(QLatin1String("commandId")).toInt() == command)
            ids.append(json.value(QLatin1String("proxyid")).toInt());
    }
    return ids;
}

QStringList TunnelTest::behaviourLines() const
{
    QStringList texts;
    for (const LogLine &line : m_log->lines()) {
        if (line.type != QtDebugMsg && line.text.startsWith(QLatin1String("H5 ")))
            texts.append(line.text);
    }
    return texts;
}

void TunnelTest::policy_data()
{
    QTest::addColumn<QByteArray>("policy"); // @P@ stands for the test's free port
    QTest::addColumn<QStringList>("lines"); // info and critical lines
    QTest::addColumn<QString>("proxy"); // HTTP application proxy, host:port; empty for none
    QTest::addColumn<bool>("server");

    const auto result = [](const char *enable, const char *host, const char *port, const char *n) {
        return QStringLiteral("H5 onProxyPolicy proxy policy result: enableProxy: %1 , proxyIp: "
                              "\"%2\" , proxyPort: \"%3\" , proxyport(int): %4")
            .arg(QLatin1String(enable), QLatin1String(host), QLatin1String(port), QLatin1String(n));
    };
    const QString local = QStringLiteral("H5 onProxyPolicy use local proxy");
    const QByteArray port = "\"@P@\"";

    QTest::newRow("local") << policyText("1", "127.0.0.1", port)
                           << QStringList { result("1", "127.0.0.1", "@P@", "@P@"), local }
                           << QStringLiteral("127.0.0.1:@P@") << true;
    for (const char *host : { "10.1.2.3", "localhost", "127.0.0.2" }) {
        QTest::addRow("remote %s", host)
            << policyText("1", host, port)
            << QStringList { result("1", host, "@P@", "@P@"),
                   QStringLiteral("H5 onProxyPolicy use http proxy") }
            << QString(QLatin1String(host) + QStringLiteral(":@P@")) << false;
    }
    QTest::newRow("disabled") << policyText("0", "127.0.0.1", port)
                              << QStringList { result("0", "127.0.0.1", "@P@", "@P@") } << QString()
                              << false;
    QTest::newRow("enable as boolean")
        << policyText("true", "127.0.0.1", port)
        << QStringList { result("0", "127.0.0.1", "@P@", "@P@") } << QString() << false;
    QTest::newRow("numeric port") << policyText("1", "127.0.0.1", "@P@")
                                  << QStringList { result("1", "127.0.0.1", "", "0"), local }
                                  << QStringLiteral("127.0.0.1:0") << true;
    const QStringList parseError { QStringLiteral("H5 onProxyPolicy json parse error") };
    QTest::newRow("array") << QByteArray("[1,2]") << parseError << QString() << false;
    QTest::newRow("not JSON") << QByteArray("enableProxy=1") << parseError << QString() << false;
    QTest::newRow("empty") << QByteArray() << QStringList() << QString() << false;
}

void TunnelTest::policy()
{
    QFETCH(QByteArray, policy);
    QFETCH(QStringList, lines);
    QFETCH(QString, proxy);
    QFETCH(bool, server);
    const bool listensOnPort = server && proxy.endsWith(QLatin1String(":@P@"));
    proxy.replace(QStringLiteral("@P@"), QString::number(m_port));
    lines.replaceInStrings(QStringLiteral("@P@"), QString::number(m_port));

    m_redir->onProxyPolicy(policy.replace("@P@", QByteArray::number(m_port)));
    QCOMPARE(behaviourLines(), lines);
    if (!server) // then nothing at all follows the policy's own lines
        QCOMPARE(m_log->texts(QStringLiteral("H5 ")), lines);
    QCOMPARE(m_messages, server ? QByteArrayList { policyMsg } : QByteArrayList());
    if (server) // the policy goes out before the server starts
        QCOMPARE(m_listeningAtPolicy, QList<bool> { false });
    const QNetworkProxy applied = QNetworkProxy::applicationProxy();
    QCOMPARE(applied.type() == QNetworkProxy::HttpProxy
            ? applied.hostName() + QLatin1Char(':') + QString::number(applied.port())
            : QString(),
        proxy);
    QCOMPARE(portTaken(m_port), listensOnPort);

    // Only the local choice makes every channel connect repeat the policy.
    m_messages.clear();
    m_redir->SetH5ChannelState(true);
    QCOMPARE(m_messages, server ? QByteArrayList { policyMsg } : QByteArrayList());
}

void TunnelTest::repeatedPolicyAndChannelState()
{
    m_redir->SetH5ChannelState(true);
    QVERIFY(m_messages.isEmpty());
    m_redir->onProxyPolicy(localPolicy(m_port));
    quint16 other = 0;
    portTaken(0, &other);
    m_log->clear();
    m_messages.clear();
    m_redir->onProxyPolicy(localPolicy(other));
    QCOMPARE(m_messages, QByteArrayList { policyMsg });
    QCOMPARE(behaviourLines().mid(1),
        QStringList({ QStringLiteral("H5 onProxyPolicy use local proxy"),
            QStringLiteral("H5 InitSocketServer already init socket server") }));
    // The running server keeps its port, and the application proxy keeps pointing at it.
    QVERIFY(!portTaken(other));
    QCOMPARE(QNetworkProxy::applicationProxy().port(), m_port);
    m_messages.clear();
    m_redir->SetH5ChannelState(false); // losing the channel leaves the tunnel alone
    QVERIFY(m_messages.isEmpty());
    QVERIFY(connectClient().id > 0);
    m_redir->CloseSocketServer();
    m_messages.clear();
    m_redir->SetH5ChannelState(true);
    QCOMPARE(m_messages, QByteArrayList { policyMsg });
}

void TunnelTest::closeSocketServer()
{
    m_redir->onProxyPolicy(localPolicy(m_port));
    const Client client = connectClient();
    QVERIFY(client.id > 0);
    m_log->clear();
    m_messages.clear();
    m_redir->CloseSocketServer();
    QCOMPARE(behaviourLines(),
        QStringList { QStringLiteral("H5 CloseSocketServer close socket server") });
    QVERIFY(!portTaken(m_port));
    QCOMPARE(QNetworkProxy::applicationProxy().port(), m_port);
    m_log->clear();
    m_redir->CloseSocketServer();
    QCOMPARE(m_log->texts(QStringLiteral("H5 ")), QStringList());

    // The connection went with the server, without being reported as ended.
    QVERIFY(closedByPeer(client.socket));
    QCoreApplication::processEvents(); // the server thread has ended: all it queued is here now
    QCOMPARE(m_messages, QByteArrayList());
    m_redir->onProxyPolicy(localPolicy(m_port));
    QVERIFY(connectClient().id > 0); // a later start brings up a new server
}

void TunnelTest::oneConnectionInOrder()
{
    m_redir->onProxyPolicy(localPolicy(m_port));
    m_messages.clear();
    const Client client = connectClient();
    QVERIFY(client.id > 0);
    client.socket->write("abc");
    client.socket->disconnectFromHost();
    QVERIFY(QTest::qWaitFor([&] { return m_messages.size() >= 3; }, waitMs));
    QCoreApplication::processEvents();
    const qint32 n = client.id;
    QCOMPARE(m_messages,
        QByteArrayList({ proxyMsg(32, n),
            QByteArray::fromHex("22000000") + le32(n) + QByteArray::fromHex("03000000616263"),
            proxyMsg(36, n) }));
}

void TunnelTest::inboundFrame_data()
{
    QTest::addColumn<QByteArray>("message"); // @N@ in the header stands for the target's proxy id
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QStringList>("critical");

    const QByteArray id = "@N@";
    QTest::newRow("exact") << QByteArray(le32(35) + id + le32(4) + "wxyz") << QByteArray("wxyz")
                           << QStringList();
    QTest::newRow("bytes after payload")
        << QByteArray(le32(35) + id + le32(2) + "12345") << QByteArray("12") << QStringList();
    QTest::newRow("length beyond message")
        << QByteArray(le32(35) + id + le32(100) + "abc") << QByteArray()
        << QStringList { QStringLiteral(
               "H5 HandleServerMsg proxy data len beyond message, drop frame: 100 present: 3") };
    QTest::newRow("outbound command")
        << QByteArray(le32(34) + id + le32(3) + "abc") << QByteArray() << QStringList();
    QTest::newRow("proxy id 0") << frame(35, 0, 3, "abc") << QByteArray() << QStringList();
    QTest::newRow("length 0") << QByteArray(le32(35) + id + le32(0) + "abc") << QByteArray()
                              << QStringList();
    QTest::newRow("negative length")
        << QByteArray(le32(35) + id + le32(-3) + "abc") << QByteArray() << QStringList();
}

void TunnelTest::inboundFrame()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, written);
    QFETCH(QStringList, critical);

    m_redir->onProxyPolicy(localPolicy(m_port));
    const Client target = connectClient();
    const Client other = connectClient();
    QVERIFY(target.id > 0 && other.id > 0);
    m_log->clear();
    feed(message.replace("@N@", le32(target.id)));
    // Frames are written in arrival order: once a marker is in, the frame before it took effect.
    feed(frame(35, target.id, 1, "!"));
    feed(frame(35, other.id, 1, "?"));
    QCOMPARE(readAtLeast(target.socket, written.size() + 1), QByteArray(written + '!'));
    QCOMPARE(readAtLeast(other.socket, 1), QByteArray("?"));
    QCOMPARE(m_log->texts(QtCriticalMsg), critical);
}

void TunnelTest::echo_data()
{
    QTest::addColumn<int>("connections");
    QTest::addColumn<int>("size");
    QTest::newRow("small, distinct") << 4 << 64;
    QTest::newRow("4 MiB over 8") << 8 << (512 << 10);
}

void TunnelTest::echo()
{
    QFETCH(int, connections);
    QFETCH(int, size);

    m_redir->onProxyPolicy(localPolicy(m_port));
    m_echo = true;
    QRandomGenerator random { quint32(size) };
    QList<Client> clients;
    QByteArrayList sent;
    QVector<QByteArray> received(connections);
    QSet<int> ids;
    for (int i = 0; i < connections; ++i) {
        clients.append(connectClient());
        QVERIFY(clients.last().id > 0);
        ids.insert(clients.last().id);
        sent.append(QByteArray(size, Qt::Uninitialized));
        random.fillRange(reinterpret_cast<quint32 *>(sent.last().data()), size / 4);
    }
    QCOMPARE(ids.size(), connections);

    for (int i = 0; i < connections; ++i)
        clients[i].socket->write(sent[i]);
    QVERIFY(QTest::qWaitFor(
        [&] {
            bool done = true;
            for (int i = 0; i < connections; ++i) {
                received[i] += clients[i].socket->readAll();
                done = done && received[i].size() >= size;
            }
            return done;
        },
        120000));
    for (int i = 0; i < connections; ++i) {
        QVERIFY2(m_fromClient.value(clients[i].id) == sent[i], qPrintable(QString::number(i)));
        QVERIFY2(received[i] == sent[i], qPrintable(QString::number(i)));
    }
}

void TunnelTest::noForeignBytes()
{
    m_redir->onProxyPolicy(localPolicy(m_port));
    for (int round = 0; round < 200; ++round) {
        const Client old = connectClient();
        QVERIFY(old.id > 0);
        // The server side goes on sending for a connection whose close it has not heard of yet;
        // that arrives only once the next client is in.
        feed(frame(35, old.id, 4, "mine"));
        QCOMPARE(readAtLeast(old.socket, 4), QByteArray("mine"));
        delete old.socket;
        QVERIFY(QTest::qWaitFor([&] { return announced(36).size() == 2 * round + 1; }, waitMs));
        const Client next = connectClient();
        QVERIFY(next.id > 0);
        feed(frame(35, old.id, 5, "stale"));
        feed(frame(35, next.id, 1, "!"));
        QCOMPARE(readAtLeast(next.socket, 1), QByteArray("!"));
        delete next.socket;
    }
    QCOMPARE(m_log->texts(QtCriticalMsg), QStringList());
}

void TunnelTest::destroyWithOpenConnections()
{
    m_redir->onProxyPolicy(localPolicy(m_port));
    m_echo = true;
    QList<Client> clients;
    for (int i = 0; i < 3; ++i) {
        clients.append(connectClient());
        QVERIFY(clients.last().id > 0);
    }
    // Keep the server thread busy with echoes while the redirector goes.
    clients[0].socket->write(QByteArray(256 << 10, 'x'));
    QVERIFY(QTest::qWaitFor([&] { return m_fromClient.contains(clients[0].id); }, waitMs));
    m_log->clear();
    m_deleting = true;
    m_redir.reset();
    QCOMPARE(m_sentWhileDeleting, 0);
    QCOMPARE(behaviourLines(),
        QStringList({ QStringLiteral("H5 ~H5redir start release"),
            QStringLiteral("H5 ~H5redir end release") }));
    QVERIFY(!portTaken(m_port));
    for (const Client &client : qAsConst(clients))
        QVERIFY(closedByPeer(client.socket));
}

QTEST_GUILESS_MAIN(TunnelTest)

#include "tst_tunnel.moc"
