// A loopback client that stops reading while others stream through the tunnel: after the 30 s
// write limit only that connection is dropped and announced as ended, and the others carry on to
// the end of their streams. Slow by nature: it waits for the real limit.
#include <h5redir/h5redir.h>
#include "channelmessages.h"
#include "echoclients.h"
#include "logcapture.h"
#include "processresources.h"
#include "redirtesting.h"
#include "tunnelpeer.h"

#include <QNetworkProxy>
#include <QTest>

using namespace H5Test;

class StressSlowTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stalledReaderAmongStreams();
};

void StressSlowTest::stalledReaderAmongStreams()
{
    constexpr int connections = 5;
    constexpr qint64 size = 16 << 20;
    constexpr int stalled = 0;
    constexpr int waitMs = 20000;

    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    const quint16 port = freeLoopbackPort();
    EchoClients clients;
    const int fdsBefore = openDescriptors();
    H5redir redir;
    TunnelPeer peer(&redir);
    peer.setEcho(true);
    redir.onProxyPolicy(localPolicy(port));
    LogCapture log;

    for (int i = 0; i < connections; ++i) {
        clients.open(port, 1, size);
        QVERIFY(QTest::qWaitFor([&] { return peer.announced() == i + 1; }, waitMs));
    }
    const int stalledId = peer.streams()[stalled].proxyId;
    clients.stopReading(stalled);
    clients.startSending();
    QVERIFY(QTest::qWaitFor([&] { return peer.bytes() >= (1 << 20); }, waitMs));

    // Far more than the loopback buffers of both ends can hold, so the writer stalls for good.
    const QByteArray block(1 << 20, 'z');
    for (int i = 0; i < 16; ++i)
        feed(redir, frame(35, stalledId, block.size(), block));
    QVERIFY(QTest::qWaitFor([&] { return peer.ended() == 1; }, 90000));
    QVERIFY(peer.streams()[stalled].ended);
    QCOMPARE(log.texts(QtCriticalMsg),
        QStringList { QStringLiteral("H5 onWriteDataToSocket write timeout %1").arg(stalledId) });

    QVERIFY(QTest::qWaitFor([&] { return clients.complete() == connections - 1; }, 120000));
    const QVector<EchoClients::Result> results = clients.results();
    for (int i = 0; i < connections; ++i) {
        if (i == stalled)
            continue;
        QCOMPARE(results[i].received, size);
        QCOMPARE(results[i].mismatchAt, qint64(-1));
        QCOMPARE(results[i].receivedSha256, results[i].sentSha256);
        QCOMPARE(peer.streams()[size_t(i)].ended, false);
    }
    clients.closeAll();
    QVERIFY(QTest::qWaitFor([&] { return peer.ended() == connections; }, waitMs));
    QCOMPARE(peer.faults(), QStringList());
    QCOMPARE(peer.announced(), connections);
    QCOMPARE(log.texts(QtCriticalMsg).size(), 1);
    clients.destroyAll();
    redir.CloseSocketServer();
    QVERIFY(QTest::qWaitFor([&] { return openDescriptors() <= fdsBefore; }, waitMs));
}

QTEST_GUILESS_MAIN(StressSlowTest)

#include "tst_stress_slow.moc"
