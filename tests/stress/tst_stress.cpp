// The proxy tunnel under load: a thousand connections at once, ten thousand short ones in a row,
// and connections, the channel, the server or the redirector going away in the middle of traffic.
// Every run ends with the descriptors of the process back where they were.
#include <h5redir/h5redir.h>
#include "channelmessages.h"
#include "echoclients.h"
#include "logcapture.h"
#include "processresources.h"
#include "redirtesting.h"
#include "tunnelpeer.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace H5Test;

namespace {

constexpr int waitMs = 20000;

QByteArrayList sorted(QByteArrayList list)
{
    std::sort(list.begin(), list.end());
    return list;
}

} // namespace

class StressTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void load();
    void churn();
    void faults_data();
    void faults();

private:
    // Opens connections one wave at a time, each wave announced on the channel before the next.
    bool open(int count, qint64 bytesEach, int wave);
    bool descriptorsBackTo(int count) const;
    QStringList lines(QtMsgType type) const { return m_log->texts(type); }

    std::unique_ptr<EchoClients> m_clients;
    std::unique_ptr<H5redir> m_redir;
    std::unique_ptr<TunnelPeer> m_peer;
    std::unique_ptr<LogCapture> m_log;
    quint16 m_port = 0;
    // Open descriptors before the redirector existed, and once its server was listening.
    int m_fdsBefore = 0;
    int m_fdsServing = 0;
};

void StressTest::init()
{
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    m_port = freeLoopbackPort();
    m_clients.reset(new EchoClients);
    m_fdsBefore = openDescriptors();
    m_redir.reset(new H5redir);
    m_redir->onProxyPolicy(localPolicy(m_port));

    // The server thread opens what its event loop needs only once it runs: count while a first
    // connection is open, less its two ends, both of which are in this process.
    QSignalSpy sent(m_redir.get(), &H5redir::messageToSpice);
    {
        QTcpSocket probe;
        probe.setProxy(QNetworkProxy::NoProxy);
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        QVERIFY(probe.waitForConnected(waitMs));
        QVERIFY(QTest::qWaitFor([&] { return sent.count() == 1; }, waitMs));
        m_fdsServing = openDescriptors() - 2;
    }
    QVERIFY(QTest::qWaitFor([&] { return sent.count() == 2; }, waitMs));

    m_peer.reset(new TunnelPeer(m_redir.get()));
    m_log.reset(new LogCapture);
}

void StressTest::cleanup()
{
    m_clients.reset();
    m_peer.reset();
    m_redir.reset();
    m_log.reset();
}

bool StressTest::open(int count, qint64 bytesEach, int wave)
{
    for (int opened = 0; opened < count; opened += wave) {
        const int target = m_peer->announced() + qMin(wave, count - opened);
        m_clients->open(m_port, qMin(wave, count - opened), bytesEach);
        if (!QTest::qWaitFor([&] { return m_peer->announced() >= target; }, waitMs))
            return false;
    }
    return true;
}

// Sockets of the server thread go by deferred deletion, a moment after their end was announced.
bool StressTest::descriptorsBackTo(int count) const
{
    return QTest::qWaitFor([&] { return openDescriptors() <= count; }, waitMs);
}

void StressTest::load()
{
    constexpr int connections = 1000;
    constexpr qint64 size = 1 << 20;
    // Both ends of every connection are in this process.
    const qint64 limit = raiseDescriptorLimit();
    if (limit < 2 * connections + 100)
        QSKIP(qPrintable(QStringLiteral("open descriptor limit %1 is too low").arg(limit)));

    m_peer->setEcho(true);
    releaseFreedHeap();
    const qint64 startKiB = residentKiB();
    resetPeakResident();
    QElapsedTimer timer;
    timer.start();

    QVERIFY(open(connections, size, 50));
    QCOMPARE(m_peer->announced(), connections);
    QCOMPARE(m_clients->connected(), connections);
    m_clients->startSending();
    QVERIFY2(QTest::qWaitFor([&] { return m_clients->complete() == connections; }, 240000),
        qPrintable(
            QStringLiteral("%1 of %2 complete").arg(m_clients->complete()).arg(connections)));
    const qint64 peakKiB = peakResidentKiB();
    const double seconds = timer.elapsed() / 1000.0;

    // Each connection got back exactly its own bytes, in order, and the channel saw the same
    // streams, each whole on one proxy id.
    const QVector<EchoClients::Result> results = m_clients->results();
    QByteArrayList sentHashes;
    for (const EchoClients::Result& result : results) {
        QCOMPARE(result.sent, size);
        QCOMPARE(result.received, size);
        QCOMPARE(result.mismatchAt, qint64(-1));
        QCOMPARE(result.receivedSha256, result.sentSha256);
        sentHashes.append(result.sentSha256);
    }
    m_clients->closeAll();
    QVERIFY(QTest::qWaitFor([&] { return m_peer->ended() == connections; }, waitMs));
    QByteArrayList streamHashes;
    for (const TunnelPeer::Stream& stream : m_peer->streams()) {
        QCOMPARE(stream.bytes, size);
        streamHashes.append(stream.sha256);
    }
    QCOMPARE(sorted(streamHashes), sorted(sentHashes));
    QCOMPARE(m_peer->faults(), QStringList());
    QCOMPARE(lines(QtCriticalMsg), QStringList());
    QCOMPARE(lines(QtWarningMsg), QStringList());

    m_clients->destroyAll();
    QVERIFY(descriptorsBackTo(m_fdsServing));
    m_log.reset(); // what it captured is no part of the process's own use, and its lines go out
    releaseFreedHeap();
    const qint64 endKiB = residentKiB();
    qInfo("load: %d connections, %lld MiB each way, %.1f s, resident %lld MiB at start, "
          "%lld MiB at peak, %lld MiB after",
        connections, m_peer->bytes() >> 20, seconds, startKiB >> 10, peakKiB >> 10, endKiB >> 10);
    // Generous: a gigabyte went through each way, and any buffer kept per connection shows.
    if (residentSizeTracksHeap())
        QVERIFY2(endKiB - startKiB < 128 * 1024, qPrintable(QString::number(endKiB - startKiB)));
}

void StressTest::churn()
{
    constexpr int cycles = 10000;
    constexpr int payload = 16;

    m_peer->setKeptBytes(payload);
    QElapsedTimer timer;
    timer.start();
    QByteArrayList sent;
    for (int done = 0; done < cycles; done += 25) {
        QVERIFY(open(25, payload, 25));
        m_clients->startSending();
        m_clients->closeAll();
        QVERIFY(QTest::qWaitFor([&] { return m_peer->ended() == done + 25; }, waitMs));
        for (const EchoClients::Result& result : m_clients->results())
            sent.append(EchoClients::streamBytes(result.stream, 0, payload));
        m_clients->destroyAll();
    }
    const double seconds = timer.elapsed() / 1000.0;

    // One 32 and one 36 per connection, its bytes between them; a proxy id named a new
    // connection only after the 36 of the one before.
    QCOMPARE(m_peer->faults(), QStringList());
    QCOMPARE(m_peer->announced(), cycles);
    QCOMPARE(m_peer->ended(), cycles);
    QByteArrayList received;
    for (const TunnelPeer::Stream& stream : m_peer->streams())
        received.append(stream.head);
    QCOMPARE(sorted(received), sorted(sent));
    QCOMPARE(m_log->texts(QStringLiteral("H5 removeSocket remove socket:")).size(), cycles);
    QCOMPARE(lines(QtCriticalMsg), QStringList());
    QVERIFY(descriptorsBackTo(m_fdsServing));
    m_log.reset();
    qInfo("churn: %d connect/send/close cycles, %.1f s", cycles, seconds);
}

enum class Fault { ClientAborts, ClientHalfCloses, ChannelLost, ServerClosed, RedirectorDestroyed };
Q_DECLARE_METATYPE(Fault)

void StressTest::faults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("client aborts mid-stream") << Fault::ClientAborts;
    QTest::newRow("client half-closes") << Fault::ClientHalfCloses;
    QTest::newRow("channel lost") << Fault::ChannelLost;
    QTest::newRow("CloseSocketServer") << Fault::ServerClosed;
    QTest::newRow("H5redir destroyed") << Fault::RedirectorDestroyed;
}

void StressTest::faults()
{
    QFETCH(Fault, fault);
    constexpr int connections = 4;
    constexpr qint64 size = 8 << 20;
    constexpr int victim = 0;

    m_peer->setEcho(true);
    QVERIFY(open(connections, size, 1));
    const int victimId = m_peer->streams()[victim].proxyId;
    m_clients->startSending();
    QVERIFY(QTest::qWaitFor(
        [&] { return m_clients->results().at(victim).received >= (256 << 10); }, waitMs));
    m_log->clear();
    const int messagesBefore = m_peer->messages();

    switch (fault) {
    case Fault::ClientAborts:
        m_clients->abort(victim);
        break;
    case Fault::ClientHalfCloses:
        m_clients->halfClose(victim);
        break;
    case Fault::ChannelLost:
        m_redir->SetH5ChannelState(false);
        break;
    case Fault::ServerClosed:
        m_redir->CloseSocketServer();
        break;
    case Fault::RedirectorDestroyed:
        m_redir.reset();
        break;
    }

    if (fault == Fault::ServerClosed || fault == Fault::RedirectorDestroyed) {
        // Every connection goes with the server, and none of them is announced as ended.
        QCoreApplication::processEvents();
        QCOMPARE(m_peer->ended(), 0);
        if (fault == Fault::RedirectorDestroyed)
            QCOMPARE(m_peer->messages(), messagesBefore);
        QVERIFY(QTest::qWaitFor([&] { return m_clients->closed() == connections; }, waitMs));
        const QStringList closing = fault == Fault::ServerClosed
            ? QStringList { QStringLiteral("H5 CloseSocketServer close socket server") }
            : QStringList { QStringLiteral("H5 ~H5redir start release"),
                  QStringLiteral("H5 ~H5redir end release") };
        QCOMPARE(m_log->texts(QtInfoMsg), closing);
        QCOMPARE(lines(QtCriticalMsg), QStringList());
        QCOMPARE(m_peer->faults(), QStringList());
        m_clients->destroyAll();
        QVERIFY(descriptorsBackTo(m_fdsBefore));
        return;
    }

    // The others carry on to the end of their streams.
    const int survivors = fault == Fault::ChannelLost ? connections : connections - 1;
    QVERIFY(QTest::qWaitFor([&] { return m_clients->complete() == survivors; }, 60000));
    const QVector<EchoClients::Result> results = m_clients->results();
    for (int i = fault == Fault::ChannelLost ? 0 : 1; i < connections; ++i) {
        QCOMPARE(results[i].received, size);
        QCOMPARE(results[i].mismatchAt, qint64(-1));
        QCOMPARE(m_peer->streams()[i].ended, false);
    }

    const QString disconnected
        = QStringLiteral("H5 onSocketDisConn socket disconn: %1").arg(victimId);
    switch (fault) {
    case Fault::ClientAborts:
        QVERIFY(QTest::qWaitFor([&] { return m_peer->ended() == 1; }, waitMs));
        QVERIFY(m_peer->streams()[victim].ended);
        // A frame that was on its way may meet the reset: its write fails, under the one name
        // the tunnel has for a failed write.
        for (const QString& line : lines(QtCriticalMsg))
            QCOMPARE(line, QStringLiteral("H5 onWriteDataToSocket write timeout %1").arg(victimId));
        QVERIFY(m_log->contains(QtDebugMsg, disconnected));
        QVERIFY(m_log->contains(
            QtDebugMsg, QStringLiteral("H5 removeSocket remove socket: %1").arg(victimId)));
        break;
    case Fault::ClientHalfCloses: {
        // The end of its sending ends the connection: all it sent reached the channel, and what
        // came back before that is a true prefix of its stream.
        QVERIFY(QTest::qWaitFor([&] { return m_clients->closed() == 1; }, waitMs));
        QVERIFY(QTest::qWaitFor([&] { return m_peer->ended() == 1; }, waitMs));
        const TunnelPeer::Stream& stream = m_peer->streams()[victim];
        const EchoClients::Result result = m_clients->results().at(victim);
        QCOMPARE(stream.bytes, result.sent);
        QCOMPARE(stream.sha256, result.sentSha256);
        QCOMPARE(result.mismatchAt, qint64(-1));
        QVERIFY(result.received <= result.sent);
        QCOMPARE(lines(QtCriticalMsg), QStringList());
        QVERIFY(m_log->contains(QtDebugMsg, disconnected));
        break;
    }
    case Fault::ChannelLost:
        QCOMPARE(m_peer->ended(), 0);
        QCOMPARE(m_log->texts(QtInfoMsg),
            QStringList { QStringLiteral(
                "H5 SetH5ChannelState Br channel disconnected, do release all players") });
        QCOMPARE(lines(QtCriticalMsg), QStringList());
        // A new channel hears again that the tunnel runs.
        m_redir->SetH5ChannelState(true);
        QCOMPARE(m_peer->policies(), 1);
        break;
    default:
        break;
    }

    m_clients->closeAll();
    QVERIFY(QTest::qWaitFor([&] { return m_peer->ended() == connections; }, waitMs));
    QCOMPARE(m_peer->faults(), QStringList());
    QCOMPARE(m_peer->announced(), connections);
    m_clients->destroyAll();
    QVERIFY(descriptorsBackTo(m_fdsServing));
    m_redir->CloseSocketServer();
    QVERIFY(descriptorsBackTo(m_fdsBefore));
}

QTEST_GUILESS_MAIN(StressTest)

#include "tst_stress.moc"
