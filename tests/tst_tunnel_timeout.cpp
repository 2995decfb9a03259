// A loopback client that stops reading is dropped after the tunnel's 30 s write limit, not
// before, and the other connections carry on. Slow by nature: it waits for the real limit.
#include <h5redir/h5redir.h>
#include "logcapture.h"
#include "redirtesting.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

using namespace H5Test;

class TunnelTimeoutTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stalledReaderIsDropped();
};

void TunnelTimeoutTest::stalledReaderIsDropped()
{
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    LogCapture log;
    H5redir redir;
    echoFrames(&redir, this);
    QSignalSpy sent(&redir, &H5redir::messageToSpice);
    const quint16 port = freeLoopbackPort();
    redir.onProxyPolicy(localPolicy(port));

    QTcpSocket stalled;
    QTcpSocket live;
    stalled.setReadBufferSize(1); // after one byte the stalled client leaves all in the kernel
    int ids[2] = {};
    QTcpSocket* sockets[2] = { &stalled, &live };
    for (int i = 0; i < 2; ++i) {
        sockets[i]->setProxy(QNetworkProxy::NoProxy);
        sockets[i]->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(sockets[i]->waitForConnected(10000));
        QVERIFY(QTest::qWaitFor([&] { return sent.count() == 2 + i; }, 10000));
        const QByteArray announced = sent.last().first().toByteArray();
        ids[i] = QJsonDocument::fromJson(announced)[QLatin1String("proxyid")].toInt();
        QCOMPARE(announced, proxyMsg(32, ids[i]));
    }

    // Far more than the loopback buffers of both ends can hold, so the writer stalls for good.
    const QByteArray block(1 << 20, 'z');
    for (int i = 0; i < 16; ++i)
        feed(redir, frame(35, ids[0], block.size(), block));
    QElapsedTimer stalledFor;
    stalledFor.start();
    const auto dropped = [&] { return sent.contains(QVariantList { proxyMsg(36, ids[0]), 113u }); };
    QVERIFY(QTest::qWaitFor(dropped, 90000));
    QVERIFY(stalledFor.elapsed() > 25000); // the limit is the local connection's 30 s
    QCOMPARE(log.texts(QtCriticalMsg),
        QStringList { QStringLiteral("H5 onWriteDataToSocket write timeout %1").arg(ids[0]) });

    // The server thread is free again: the other connection still round-trips.
    live.write("ping");
    QByteArray echoed;
    QVERIFY(QTest::qWaitFor([&] { return (echoed += live.readAll()).size() >= 4; }, 10000));
    QCOMPARE(echoed, QByteArray("ping"));
    QVERIFY(!sent.contains(QVariantList { proxyMsg(36, ids[1]), 113u }));
}

QTEST_GUILESS_MAIN(TunnelTimeoutTest)

#include "tst_tunnel_timeout.moc"
