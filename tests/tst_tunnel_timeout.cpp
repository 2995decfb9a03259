// A loopback client that stops reading is dropped after the tunnel's 30 s write limit, and the
// other connections carry on. Slow by nature: it waits for the real limit.
#include <h5redir/h5redir.h>
#include "channelmessages.h"
#include "logcapture.h"
#include "redirtesting.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

using namespace H5Test;

class TunnelTimeoutTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stalledReaderIsDropped();
};

void TunnelTimeoutTest::stalledReaderIsDropped()
{
    LogCapture log;
    H5redir redir;
    const auto feed
        = [&](QByteArray bytes) { redir.parseSpiceData(bytes.data(), uint(bytes.size())); };
    QByteArrayList messages;
    int wrongType = 0;
    connect(&redir, &H5redir::messageToSpice, this, [&](const QByteArray &msg, uint type) {
        messages.append(msg);
        wrongType += type != 113;
        // Echo every outbound frame back to the connection it came from.
        if (msg.size() > 12 && qFromLittleEndian<qint32>(msg.constData()) == 34)
            feed(frame(35, qFromLittleEndian<qint32>(msg.constData() + 4), msg.size() - 12,
                       msg.mid(12)));
    });

    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    redir.onProxyPolicy(R"({"enableProxy":1,"proxyIp":"127.0.0.1","proxyPort":")"
        + QByteArray::number(port) + "\"}");

    QTcpSocket stalled;
    QTcpSocket live;
    // One byte of read buffer: after that the stalled client leaves everything in the kernel.
    stalled.setReadBufferSize(1);
    int ids[2] = {};
    QTcpSocket *sockets[2] = { &stalled, &live };
    for (int i = 0; i < 2; ++i) {
        sockets[i]->setProxy(QNetworkProxy::NoProxy);
        sockets[i]->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(sockets[i]->waitForConnected(10000));
        QVERIFY(QTest::qWaitFor([&] { return messages.size() == 2 + i; }, 10000));
        ids[i] = QJsonDocument::fromJson(messages.last())
                     .object()
                     .value(QLatin1String("proxyid"))
                     .toInt();
        QCOMPARE(messages.last(), proxyMsg(32, ids[i]));
    }

    // Far more than the loopback buffers of both ends can hold, so the writer stalls for good.
    const QByteArray block(1 << 20, 'z');
    for (int i = 0; i < 16; ++i)
        feed(frame(35, ids[0], block.size(), block));
    const QByteArray dropped = proxyMsg(36, ids[0]);
    QVERIFY(QTest::qWaitFor([&] { return messages.contains(dropped); }, 90000));
    QVERIFY(log.contains(
        QtCriticalMsg, QStringLiteral("H5 onWriteDataToSocket write timeout %1").arg(ids[0])));

    // The server thread is free again: the other connection still round-trips.
    live.write("ping");
    QByteArray echoed;
    QVERIFY(QTest::qWaitFor(
        [&] {
            echoed += live.readAll();
            return echoed.size() >= 4;
        },
        10000));
    QCOMPARE(echoed, QByteArray("ping"));
    QCOMPARE(messages.count(dropped), 1);
    QVERIFY(!messages.contains(proxyMsg(36, ids[1])));
    QCOMPARE(wrongType, 0);
}

QTEST_GUILESS_MAIN(TunnelTimeoutTest)

#include "tst_tunnel_timeout.moc"
