// The tunnel under load (a thousand connections at once, ten thousand short ones) and under
// faults mid-traffic. Every run ends with the process's descriptors back where they were.
#include <h5redir/h5redir.h>
#include "logcapture.h"
#include "redirtesting.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTest>
#include <QThread>
#include <QtEndian>

#include <functional>

#include <sys/resource.h>
#include <sys/socket.h>

using namespace H5Test;

namespace {

constexpr int waitMs = 30000;

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::NoDotAndDotDot).size();
}

// Byte `offset` of connection n's stream: bytes that reach another connection, or come back out
// of order, differ from what that connection expects.
char streamByte(int n, qint64 offset)
{
    return char((quint64(offset) * 2654435761u >> 11) ^ quint64(n) * 40503u);
}

// Loopback clients on a thread of their own, so that they go on reading while the test's thread
// is busy in, or blocked by, the redirector. Each sends its stream, never more than a window
// ahead of its echo, and checks every byte it gets back.
class Clients : public QObject
{
public:
    struct Connection
    {
        QTcpSocket* socket;
        int n;
        qint64 total, sent = 0, received = 0;
        bool intact = true, closed = false;
    };

    Clients() { moveToThread(&m_thread), m_thread.start(); }
    ~Clients() override { clear(), m_thread.quit(), m_thread.wait(); }
    void run(const std::function<void()>& action)
    {
        QMetaObject::invokeMethod(this, action, Qt::BlockingQueuedConnection);
    }
    void open(quint16 port, int count, qint64 bytes)
    {
        run([=] {
            for (int i = 0; i < count; ++i) {
                auto* socket = new QTcpSocket;
                socket->setProxy(QNetworkProxy::NoProxy); // not the application proxy: the tunnel
                m_list.append({ socket, m_opened++, bytes });
                const int index = m_list.size() - 1;
                connect(socket, &QTcpSocket::connected, this, [=] { pump(m_list[index]); });
                connect(socket, &QTcpSocket::bytesWritten, this, [=] { pump(m_list[index]); });
                connect(socket, &QTcpSocket::readyRead, this, [=] { read(m_list[index]); });
                connect(socket, &QTcpSocket::disconnected, this, [=] { m_list[index].closed = true; });
                socket->connectToHost(QHostAddress::LocalHost, port);
            }
        });
    }
    QVector<Connection> list()
    {
        QVector<Connection> copy;
        run([&] { copy = m_list; });
        return copy;
    }
    int count(bool (*test)(const Connection&))
    {
        const QVector<Connection> all = list();
        return int(std::count_if(all.cbegin(), all.cend(), test));
    }
    void closeAll() { each([](QTcpSocket* s) { s->disconnectFromHost(); }); }
    void clear() { each([](QTcpSocket* s) { delete s; }), run([this] { m_list.clear(); }); }

private:
    void each(void (*action)(QTcpSocket*))
    {
        run([=] { for (const Connection& c : qAsConst(m_list)) action(c.socket); });
    }
    void pump(Connection& c)
    {
        while (c.sent < c.total && c.sent - c.received < (64 << 10)) {
            QByteArray bytes(int(qMin<qint64>(16 << 10, c.total - c.sent)), Qt::Uninitialized);
            for (int i = 0; i < bytes.size(); ++i)
                bytes[i] = streamByte(c.n, c.sent + i);
            c.sent += c.socket->write(bytes);
        }
    }
    void read(Connection& c)
    {
        const QByteArray bytes = c.socket->readAll();
        for (int i = 0; i < bytes.size() && c.intact; ++i)
            c.intact = bytes[i] == streamByte(c.n, c.received + i);
        c.received += bytes.size();
        pump(c);
    }

    QThread m_thread;
    QVector<Connection> m_list;
    int m_opened = 0;
};

bool complete(const Clients::Connection& c) { return c.received == c.total && c.intact; }

} // namespace

class StressTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void traffic_data();
    void traffic();
    void faults_data();
    void faults();

private:
    // The server side of the channel: echoes every frame 34 and checks that each proxy id runs
    // from its 32 through its frames to its 36.
    void receive(const QByteArray& msg);
    bool openAnnounced(int count, qint64 bytes);

    std::unique_ptr<Clients> m_clients;
    std::unique_ptr<H5redir> m_redir;
    std::unique_ptr<LogCapture> m_log;
    quint16 m_port = 0;
    int m_fdsBefore = 0;
    QSet<int> m_open;
    QList<int> m_order; // proxy ids in order of announcement
    int m_ended = 0;
    QStringList m_faults;
};

void StressTest::init()
{
    rlimit limit {}; // both ends of a thousand connections are in this process
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max, setrlimit(RLIMIT_NOFILE, &limit);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    m_port = freeLoopbackPort();
    m_clients.reset(new Clients);
    m_fdsBefore = openDescriptors();
    m_open.clear(), m_order.clear(), m_faults.clear(), m_ended = 0;
    m_redir.reset(new H5redir);
    connect(m_redir.get(), &H5redir::messageToSpice, this, &StressTest::receive);
    m_redir->onProxyPolicy(localPolicy(m_port));
    m_log.reset(new LogCapture);
}

void StressTest::cleanup()
{
    m_clients.reset();
    m_redir.reset();
    m_log.reset();
    QVERIFY(QTest::qWaitFor([&] { return openDescriptors() <= m_fdsBefore; }, waitMs));
}

void StressTest::receive(const QByteArray& msg)
{
    if (msg.size() > 12 && qFromLittleEndian<qint32>(msg.constData()) == 34) {
        const int id = qFromLittleEndian<qint32>(msg.constData() + 4);
        if (!m_open.contains(id)
            || qFromLittleEndian<qint32>(msg.constData() + 8) != msg.size() - 12)
            m_faults.append(QStringLiteral("bad frame for %1").arg(id));
        feed(*m_redir, le32(35) + msg.mid(4));
        return;
    }
    const int id = QJsonDocument::fromJson(msg).object().value(QLatin1String("proxyid")).toInt();
    if (msg == proxyMsg(32, id) && !m_open.contains(id))
        m_open.insert(id), m_order.append(id);
    else if (msg == proxyMsg(36, id) && m_open.remove(id))
        ++m_ended;
    else if (msg != R"({"commandId":30,"port":0})")
        m_faults.append(QString::fromUtf8(msg));
}

bool StressTest::openAnnounced(int count, qint64 bytes)
{
    for (int opened = 0; opened < count; opened += 50) {
        const int target = m_order.size() + qMin(50, count - opened);
        m_clients->open(m_port, qMin(50, count - opened), bytes);
        if (!QTest::qWaitFor([&] { return m_order.size() >= target; }, waitMs))
            return false;
    }
    return true;
}

void StressTest::traffic_data()
{
    QTest::addColumn<int>("waves");
    QTest::addColumn<int>("connections"); // per wave, open at once
    QTest::addColumn<qint64>("bytes"); // each way, per connection
    QTest::newRow("1000 at once, 1 MiB each") << 1 << 1000 << qint64(1 << 20);
    QTest::newRow("10000 short ones") << 400 << 25 << qint64(16);
}

void StressTest::traffic()
{
    QFETCH(int, waves);
    QFETCH(int, connections);
    QFETCH(qint64, bytes);

    for (int wave = 0; wave < waves; ++wave) {
        QVERIFY(openAnnounced(connections, bytes));
        QVERIFY2(QTest::qWaitFor([&] { return m_clients->count(complete) == connections; }, 240000),
            qPrintable(QStringLiteral("%1 complete").arg(m_clients->count(complete))));
        m_clients->closeAll();
        QVERIFY(QTest::qWaitFor([&] { return m_ended == (wave + 1) * connections; }, waitMs));
        m_clients->clear();
    }
    // A proxy id named a new connection only after the 36 of the one before.
    QCOMPARE(m_faults, QStringList());
    QCOMPARE(m_order.size(), waves * connections);
    QCOMPARE(m_log->texts(QStringLiteral("H5 removeSocket remove socket:")).size(), waves * connections);
    QCOMPARE(m_log->texts(QtCriticalMsg) + m_log->texts(QtWarningMsg), QStringList());
}

enum class Fault { Abort, HalfClose, ChannelLost, ServerClosed, RedirectorDestroyed };
Q_DECLARE_METATYPE(Fault)

void StressTest::faults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("client aborts") << Fault::Abort;
    QTest::newRow("client half-closes") << Fault::HalfClose;
    QTest::newRow("channel lost") << Fault::ChannelLost;
    QTest::newRow("CloseSocketServer") << Fault::ServerClosed;
    QTest::newRow("H5redir destroyed") << Fault::RedirectorDestroyed;
}

void StressTest::faults()
{
    QFETCH(Fault, fault);
    constexpr int connections = 4;
    constexpr qint64 size = 8 << 20;

    QVERIFY(openAnnounced(connections, size));
    QVERIFY(QTest::qWaitFor([&] { return m_clients->list().at(0).received >= (256 << 10); }, waitMs));
    m_log->clear();
    const int victim = m_order.at(0);
    QTcpSocket* socket = m_clients->list().at(0).socket;
    switch (fault) {
    case Fault::Abort: m_clients->run([socket] { socket->abort(); }); break;
    case Fault::HalfClose:
        m_clients->run([socket] { socket->flush(), ::shutdown(int(socket->socketDescriptor()), SHUT_WR); });
        break;
    case Fault::ChannelLost: m_redir->SetH5ChannelState(false); break;
    case Fault::ServerClosed: m_redir->CloseSocketServer(); break;
    case Fault::RedirectorDestroyed: m_redir.reset(); break;
    }
    if (fault == Fault::ServerClosed || fault == Fault::RedirectorDestroyed) {
        // Every connection goes with the server, and none is announced as ended.
        const auto closed = [](const Clients::Connection& c) { return c.closed; };
        QVERIFY(QTest::qWaitFor([&] { return m_clients->count(closed) == connections; }, waitMs));
        QCoreApplication::processEvents();
        QCOMPARE(m_ended, 0);
        QCOMPARE(m_log->texts(QtInfoMsg),
            fault == Fault::ServerClosed ? list({ "H5 CloseSocketServer close socket server" })
                                         : list({ "H5 ~H5redir start release", "H5 ~H5redir end release" }));
    } else {
        // The others carry on to the end of their streams; the victim alone is reported closed.
        const int survivors = fault == Fault::ChannelLost ? connections : connections - 1;
        QVERIFY(QTest::qWaitFor([&] { return m_clients->count(complete) == survivors; }, 120000));
        QVERIFY(QTest::qWaitFor([&] { return m_ended == connections - survivors; }, waitMs));
        QCOMPARE(m_open.contains(victim), fault == Fault::ChannelLost);
        if (fault != Fault::ChannelLost)
            QVERIFY(m_log->texts(QtDebugMsg).contains(
                QStringLiteral("H5 removeSocket remove socket: %1").arg(victim)));
        // A frame on its way may meet the reset: its write fails under the tunnel's one name for it.
        for (const QString& line : m_log->texts(QtCriticalMsg))
            QCOMPARE(line, QStringLiteral("H5 onWriteDataToSocket write timeout %1").arg(victim));
        m_clients->closeAll();
        QVERIFY(QTest::qWaitFor([&] { return m_ended == connections; }, waitMs));
    }
    QCOMPARE(m_faults, QStringList());
}

QTEST_GUILESS_MAIN(StressTest)

#include "tst_stress.moc"
