// The local proxy tunnel over real loopback sockets: the policy, the listener, the server's life
// cycle, and each connection's bytes through the channel and back.
#include <h5redir/h5redir.h>
#include "logcapture.h"
#include "redirtesting.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

#include <sys/socket.h>

using namespace H5Test;

namespace {

constexpr int waitMs = 10000;
constexpr int readLimit = 256 * 1024; // the most one read of a local connection takes
const QByteArray policyMsg = QByteArrayLiteral("{\"commandId\":30,\"port\":0}");

// Binding fails exactly while somebody listens there (QTcpServer reuses TIME_WAIT addresses).
bool portTaken(quint16 port)
{
    QTcpServer probe;
    probe.setProxy(QNetworkProxy::NoProxy);
    return !probe.listen(QHostAddress::LocalHost, port);
}

// Waits for at least `size` bytes, then takes everything that came; the caller compares.
QByteArray readAtLeast(QTcpSocket* socket, int size)
{
    static_cast<void>(QTest::qWaitFor([&] { return socket->bytesAvailable() >= size; }, waitMs));
    return socket->readAll();
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
    void serverLifeCycle();
    void noForeignBytes();
    void upload_data();
    void upload();
    void stalledReaderIsDropped();

private:
    struct Client { QTcpSocket* socket = nullptr; int id = -1; };

    void record(const QByteArray& msg, uint type);
    Client connectClient(const QHostAddress& address = QHostAddress::LocalHost);
    QList<int> announced(int command) const;

    // Made per test: QtTest installs its own message handler after the test object exists.
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<H5redir> m_redir;
    std::unique_ptr<QObject> m_clients;
    quint16 m_port = 0;
    QByteArrayList m_messages;
    QList<bool> m_listeningAtPolicy;
};

void TunnelTest::init()
{
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    m_port = freeLoopbackPort();
    m_messages.clear();
    m_listeningAtPolicy.clear();
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
}

// The host's side of the channel: every message is kept; each test compares them whole.
void TunnelTest::record(const QByteArray& msg, uint type)
{
    QCOMPARE(type, 113u);
    m_messages.append(msg);
    if (msg == policyMsg)
        m_listeningAtPolicy.append(portTaken(m_port));
}

TunnelTest::Client TunnelTest::connectClient(const QHostAddress& address)
{
    Client client;
    client.socket = new QTcpSocket(m_clients.get());
    client.socket->setProxy(QNetworkProxy::NoProxy); // the application proxy points here
    const int before = announced(32).size();
    client.socket->connectToHost(address, m_port);
    if (client.socket->waitForConnected(waitMs)
        && QTest::qWaitFor([&] { return announced(32).size() > before; }, waitMs))
        client.id = announced(32).last();
    return client;
}

QList<int> TunnelTest::announced(int command) const
{
    QList<int> ids;
    for (const QByteArray& msg : m_messages) {
        const QJsonObject json = QJsonDocument::fromJson(msg).object();
        if (json.value(QLatin1String("commandId")).toInt() == command)
            ids.append(json.value(QLatin1String("proxyid")).toInt());
    }
    return ids;
}

void TunnelTest::policy_data()
{
    QTest::addColumn<QByteArray>("policy"); // @P@ stands for the test's free port
    QTest::addColumn<QStringList>("lines"); // info and critical lines
    QTest::addColumn<QString>("proxy"); // HTTP application proxy, host:port; empty for none
    QTest::addColumn<bool>("server");

    const auto result = [](const char* enable, const char* host, const char* port, const char* n) {
        return QStringLiteral(
            "H5 onProxyPolicy proxy policy result: enableProxy: %1 , proxyIp: \"%2\" , proxyPort: "
            "\"%3\" , proxyport(int): %4")
            .arg(QLatin1String(enable), QLatin1String(host), QLatin1String(port), QLatin1String(n));
    };
    const QString local = QStringLiteral("H5 onProxyPolicy use local proxy");
    const QByteArray port = "\"@P@\"";
    const QStringList parseError { QStringLiteral("H5 onProxyPolicy json parse error") };

    QTest::newRow("local") << policyText("1", "127.0.0.1", port)
                           << QStringList { result("1", "127.0.0.1", "@P@", "@P@"), local }
                           << QStringLiteral("127.0.0.1:@P@") << true;
    for (const char* host : { "10.1.2.3", "127.0.0.2" }) {
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
    QTest::newRow("array") << QByteArray("[1,2]") << parseError << QString() << false;
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
    QCOMPARE(m_log->texts(QtInfoMsg) + m_log->texts(QtCriticalMsg), lines);
    if (!server) // then nothing at all follows the policy's own lines
        QCOMPARE(m_log->texts(QStringLiteral("H5 ")), lines);
    QCOMPARE(m_messages, server ? QByteArrayList { policyMsg } : QByteArrayList());
    if (server) // the policy goes out before the server starts
        QCOMPARE(m_listeningAtPolicy, QList<bool> { false });
    const QNetworkProxy applied = QNetworkProxy::applicationProxy();
    QCOMPARE(applied.type() == QNetworkProxy::HttpProxy
            ? applied.hostName() + ':' + QString::number(applied.port())
            : QString(),
        proxy);
    QCOMPARE(portTaken(m_port), listensOnPort);

    // Only the local choice makes every channel connect repeat the policy.
    m_messages.clear();
    m_redir->SetH5ChannelState(true);
    QCOMPARE(m_messages, server ? QByteArrayList { policyMsg } : QByteArrayList());
}

void TunnelTest::serverLifeCycle()
{
    m_redir->SetH5ChannelState(true);
    QVERIFY(m_messages.isEmpty());
    m_redir->onProxyPolicy(localPolicy(m_port));
    // A page's burst of connections finds room in the accept queue: ss gives a listener's queue
    // length as its Send-Q, which Qt alone leaves at 50; the system caps it at somaxconn.
    QProcess ss;
    ss.start(QStringLiteral("ss"),
        { QStringLiteral("-Hltn"), QStringLiteral("sport = :%1").arg(m_port) });
    QVERIFY(ss.waitForFinished(waitMs));
    QFile somaxconn(QStringLiteral("/proc/sys/net/core/somaxconn"));
    QVERIFY(somaxconn.open(QIODevice::ReadOnly));
    QCOMPARE(ss.readAllStandardOutput().simplified().split(' ').value(2).toInt(),
        qMin(somaxconn.readAll().trimmed().toInt(), SOMAXCONN));
    const quint16 other = freeLoopbackPort();
    m_log->clear();
    m_messages.clear();
    m_redir->onProxyPolicy(localPolicy(other));
    // Other addresses of this machine find nobody listening: the listener is bound to 127.0.0.1.
    // Nothing of theirs may reach the channel.
    for (const char* address : { "127.0.0.2", "::1" }) {
        QTcpServer probe;
        if (probe.listen(QHostAddress(QLatin1String(address)))) { // else not configured here
            probe.close();
            QCOMPARE(connectClient(QHostAddress(QLatin1String(address))).socket->error(),
                QAbstractSocket::ConnectionRefusedError);
        }
    }
    QCOMPARE(m_messages, QByteArrayList { policyMsg });
    QCOMPARE(m_log->texts(QtInfoMsg).mid(1),
        QStringList({ "H5 onProxyPolicy use local proxy",
            "H5 InitSocketServer already init socket server" }));
    // The running server keeps its port, and the application proxy keeps pointing at it.
    QVERIFY(!portTaken(other));
    QCOMPARE(QNetworkProxy::applicationProxy().port(), m_port);
    m_redir->SetH5ChannelState(false); // losing the channel leaves the tunnel alone
    const Client client = connectClient();
    QVERIFY(client.id > 0);

    m_log->clear();
    m_messages.clear();
    m_redir->CloseSocketServer();
    m_redir->CloseSocketServer();
    QCOMPARE(m_log->texts(QtInfoMsg), QStringList { "H5 CloseSocketServer close socket server" });
    QVERIFY(!portTaken(m_port));
    QCOMPARE(QNetworkProxy::applicationProxy().port(), m_port);
    // The connection went with the server, without being reported as ended.
    QVERIFY(QTest::qWaitFor([&] { return client.socket->state() == QAbstractSocket::UnconnectedState; }, waitMs));
    QCOMPARE(client.socket->error(), QAbstractSocket::RemoteHostClosedError);
    QCoreApplication::processEvents(); // the server thread has ended: all it queued is here now
    QCOMPARE(m_messages, QByteArrayList());
    m_redir->SetH5ChannelState(true);
    QCOMPARE(m_messages, QByteArrayList { policyMsg });
    m_redir->onProxyPolicy(localPolicy(m_port));
    QVERIFY(connectClient().id > 0); // a later start brings up a new server
}

void TunnelTest::noForeignBytes()
{
    m_redir->onProxyPolicy(localPolicy(m_port));
    for (int round = 0; round < 200; ++round) {
        const Client old = connectClient();
        QVERIFY(old.id > 0);
        // The server side goes on sending for a connection whose close it has not heard of yet;
        // that arrives only once the next client is in.
        feed(*m_redir, frame(35, old.id, 4, "mine"));
        QCOMPARE(readAtLeast(old.socket, 4), QByteArray("mine"));
        delete old.socket;
        QVERIFY(QTest::qWaitFor([&] { return announced(36).size() == 2 * round + 1; }, waitMs));
        const Client next = connectClient();
        QVERIFY(next.id > 0);
        feed(*m_redir, frame(35, old.id, 5, "stale"));
        feed(*m_redir, frame(35, next.id, 1, "!"));
        QCOMPARE(readAtLeast(next.socket, 1), QByteArray("!"));
        delete next.socket;
    }
    QCOMPARE(m_log->texts(QtCriticalMsg), QStringList());
}

// A local client's bytes go out as data messages of at most the read limit each, between the
// connection's announcement and its end, as they came. While the host reports its channel backed
// up nothing more is read; the last bytes of a connection that closes meanwhile still go.
void TunnelTest::upload_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("backedUp"); // the host reports a full channel while the client sends
    QTest::newRow("three bytes") << 3 << false;
    QTest::newRow("three bytes, channel backed up") << 3 << true;
    QTest::newRow("24 MiB") << (24 << 20) << false;
    QTest::newRow("24 MiB, channel backed up") << (24 << 20) << true;
}

void TunnelTest::upload()
{
    QFETCH(int, size);
    QFETCH(bool, backedUp);
    m_redir->onProxyPolicy(localPolicy(m_port));
    m_messages.clear();
    const Client client = connectClient();
    QVERIFY(client.id > 0);
    QByteArray sent(size, 'a');
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(sent.data()), size / 4);
    // The host reports what it holds unsent after each message it takes.
    qint64 backlog = backedUp ? qint64(1) << 30 : 0;
    connect(m_redir.get(), &H5redir::messageToSpice, this,
        [&] { m_redir->SetChannelBacklog(backlog); });
    m_redir->SetChannelBacklog(backlog);
    QElapsedTimer quiet;
    quiet.start();
    connect(client.socket, &QTcpSocket::bytesWritten, this, [&] { quiet.restart(); });
    client.socket->write(sent);
    client.socket->disconnectFromHost();
    if (backedUp && size > readLimit) {
        // The loopback buffers fill and the client stalls with bytes to go.
        QVERIFY(QTest::qWaitFor([&] { return quiet.elapsed() > 500; }, waitMs));
        QVERIFY(client.socket->bytesToWrite() > 0);
        QVERIFY(m_messages.size() <= 2); // the announcement, at most one read
        m_redir->SetChannelBacklog(backlog = 0);
    }
    QVERIFY(QTest::qWaitFor([&] { return announced(36).contains(client.id); }, waitMs));
    QCOMPARE(m_messages.first(), proxyMsg(32, client.id));
    QCOMPARE(m_messages.last(), proxyMsg(36, client.id));
    QByteArray received;
    for (const QByteArray& msg : m_messages.mid(1, m_messages.size() - 2)) {
        QCOMPARE(msg.left(12), le32(34) + le32(client.id) + le32(msg.size() - 12));
        QVERIFY(msg.size() - 12 <= readLimit);
        received += msg.mid(12);
    }
    QVERIFY(received == sent);
    // Its close took the ordinary path: the connection's line, the server's, then the 36.
    QCOMPARE(m_log->texts(QStringLiteral("H5 removeSocket")),
        QStringList { QStringLiteral("H5 removeSocket remove socket: %1").arg(client.id) });
}

// A client that stops reading is dropped after the local connection's 30 s write limit, not
// before, and the others carry on. It waits for the real limit, so it runs on its own, as
// tst_tunnel_timeout.
void TunnelTest::stalledReaderIsDropped()
{
    if (!qEnvironmentVariableIsSet("H5TEST_SLOW"))
        QSKIP("waits for the 30 s write limit: run as tst_tunnel_timeout");
    echoFrames(m_redir.get(), this);
    m_redir->onProxyPolicy(localPolicy(m_port));
    const Client stalled = connectClient();
    const Client live = connectClient();
    QVERIFY(stalled.id > 0 && live.id > 0);
    stalled.socket->setReadBufferSize(1); // after one byte it leaves all in the kernel

    // Far more than the loopback buffers of both ends can hold, so the writer stalls for good.
    const QByteArray block(1 << 20, 'z');
    for (int i = 0; i < 16; ++i)
        feed(*m_redir, frame(35, stalled.id, block.size(), block));
    QElapsedTimer stalledFor;
    stalledFor.start();
    QVERIFY(QTest::qWaitFor([&] { return announced(36).contains(stalled.id); }, 90000));
    QVERIFY(stalledFor.elapsed() > 25000);
    QCOMPARE(m_log->texts(QtCriticalMsg),
        QStringList { QStringLiteral("H5 onWriteDataToSocket write timeout %1").arg(stalled.id) });

    // The server thread is free again: the other connection still round-trips.
    live.socket->write("ping");
    QCOMPARE(readAtLeast(live.socket, 4), QByteArray("ping"));
    QVERIFY(!announced(36).contains(live.id));
}

QTEST_GUILESS_MAIN(TunnelTest)

#include "tst_tunnel.moc"
