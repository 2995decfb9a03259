// The tunnel's listener takes connections from the loopback address 127.0.0.1 only: another
// address of the machine, or a peer in another network namespace, is refused.
#include <h5redir/h5redir.h>
#include "channelmessages.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <thread>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace H5Test;

namespace {

constexpr int waitMs = 10000;

// Two namespaces of the test's own, joined by a veth pair: 192.0.2.1 (a documentation address)
// in the first, 192.0.2.2 in the second. Nothing is added to the machine's own namespace, and
// deleting the namespaces takes the pair with them.
class NamespacePair
{
public:
    NamespacePair()
        : m_ip(QStandardPaths::findExecutable(QStringLiteral("ip"),
            { QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin"),
                QStringLiteral("/bin") }))
        , m_server(QStringLiteral("h5sec-s-%1").arg(QCoreApplication::applicationPid()))
        , m_client(QStringLiteral("h5sec-c-%1").arg(QCoreApplication::applicationPid()))
    {
        const QString serverEnd = QStringLiteral("h5s%1").arg(QCoreApplication::applicationPid());
        const QString clientEnd = QStringLiteral("h5c%1").arg(QCoreApplication::applicationPid());
        const QString server = QLatin1String(" -n ") + m_server;
        const QString client = QLatin1String(" -n ") + m_client;
        m_ready = !m_ip.isEmpty() && ip(QLatin1String("netns add ") + m_server) && (m_made = 1)
            && ip(QLatin1String("netns add ") + m_client) && (m_made = 2)
            && ip(QStringLiteral("link add %1 type veth peer name %2").arg(serverEnd, clientEnd))
            && ip(QStringLiteral("link set %1 netns %2").arg(serverEnd, m_server))
            && ip(QStringLiteral("link set %1 netns %2").arg(clientEnd, m_client))
            && ip(server + QLatin1String(" link set lo up"))
            && ip(server + QLatin1String(" addr add 192.0.2.1/24 dev ") + serverEnd)
            && ip(server + QLatin1String(" link set up dev ") + serverEnd)
            && ip(client + QLatin1String(" addr add 192.0.2.2/24 dev ") + clientEnd)
            && ip(client + QLatin1String(" link set up dev ") + clientEnd);
    }

    ~NamespacePair()
    {
        if (m_made >= 2)
            ip(QLatin1String("netns del ") + m_client);
        if (m_made >= 1)
            ip(QLatin1String("netns del ") + m_server);
    }

    bool isReady() const { return m_ready; }
    QString serverPath() const { return QStringLiteral("/var/run/netns/") + m_server; }
    QString clientPath() const { return QStringLiteral("/var/run/netns/") + m_client; }

private:
    // Runs ip with the words of `arguments`.
    bool ip(const QString& arguments) const
    {
        QProcess process;
        process.start(m_ip, arguments.trimmed().split(QLatin1Char(' ')));
        return process.waitForFinished(waitMs) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }

    QString m_ip;
    QString m_server;
    QString m_client;
    int m_made = 0;
    bool m_ready = false;
};

// Moves the calling thread into the namespace at `path`; false when it cannot.
bool enterNamespace(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool entered = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    return entered;
}

// Connects from inside the namespace at `path`, on a thread of its own, and returns the errno
// of the attempt (0 when it connected).
int connectFrom(const QString& path, const char* address, quint16 port)
{
    int result = -1;
    std::thread attempt([&] {
        if (!enterNamespace(path))
            return;
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in peer {};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &peer.sin_addr);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) {
            result = 0;
        } else if (errno == EINPROGRESS) {
            pollfd wait { fd, POLLOUT, 0 };
            if (::poll(&wait, 1, waitMs) == 1) {
                socklen_t size = sizeof result;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &size);
            } else {
                result = ETIMEDOUT;
            }
        } else {
            result = errno;
        }
        ::close(fd);
    });
    attempt.join();
    return result;
}

} // namespace

class SecurityTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void otherLocalAddress_data();
    void otherLocalAddress();
    void otherNamespace();
};

void SecurityTest::otherLocalAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("127.0.0.1") << QStringLiteral("127.0.0.1") << true;
    // Loopback addresses all, answered by the machine, but not the one the listener is bound to.
    QTest::newRow("127.0.0.2") << QStringLiteral("127.0.0.2") << false;
    QTest::newRow("127.254.1.1") << QStringLiteral("127.254.1.1") << false;
    QTest::newRow("::1") << QStringLiteral("::1") << false;
}

void SecurityTest::otherLocalAddress()
{
    QFETCH(QString, address);
    QFETCH(bool, accepted);

    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    if (QHostAddress(address).protocol() == QAbstractSocket::IPv6Protocol) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress(address)))
            QSKIP("no IPv6 loopback here");
    }
    const quint16 port = freeLoopbackPort();
    H5redir redir;
    redir.onProxyPolicy(localPolicy(port));
    QSignalSpy sent(&redir, &H5redir::messageToSpice);

    QTcpSocket client;
    client.setProxy(QNetworkProxy::NoProxy);
    client.connectToHost(QHostAddress(address), port);
    if (accepted) {
        QVERIFY(client.waitForConnected(waitMs));
        QVERIFY(QTest::qWaitFor([&] { return sent.count() == 1; }, waitMs));
        QVERIFY(sent.first().first().toByteArray().startsWith(R"({"commandId":32,)"));
        return;
    }
    QVERIFY(!client.waitForConnected(waitMs));
    QCOMPARE(client.error(), QAbstractSocket::ConnectionRefusedError);
    // Turn the loop so that anything the server thread queued would have arrived.
    QTest::qWait(100);
    QCOMPARE(sent.count(), 0);
}

void SecurityTest::otherNamespace()
{
    if (::geteuid() != 0)
        QSKIP("network namespaces need root");
    const NamespacePair namespaces;
    if (!namespaces.isReady())
        QSKIP("cannot create network namespaces here");

    // The redirector, its listener and its server thread all live in the first namespace.
    struct GoHome
    {
        int fd;
        ~GoHome()
        {
            ::setns(fd, CLONE_NEWNET);
            ::close(fd);
        }
    } goHome { ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC) };
    QVERIFY(goHome.fd >= 0);
    QVERIFY(enterNamespace(namespaces.serverPath()));

    int refused = -1;
    {
        const quint16 port = freeLoopbackPort();
        H5redir redir;
        redir.onProxyPolicy(localPolicy(port));
        QSignalSpy sent(&redir, &H5redir::messageToSpice);
        QCOMPARE(connectFrom(namespaces.serverPath(), "127.0.0.1", port), 0);
        QVERIFY(QTest::qWaitFor([&] { return sent.count() == 2; }, waitMs)); // its 32 and 36
        // The refusal is the first namespace's own answer: the path between them works.
        refused = connectFrom(namespaces.clientPath(), "192.0.2.1", port);
        QTest::qWait(100);
        QCOMPARE(sent.count(), 2);
    }
    QCOMPARE(refused, ECONNREFUSED);
}

QTEST_GUILESS_MAIN(SecurityTest)

#include "tst_security.moc"
