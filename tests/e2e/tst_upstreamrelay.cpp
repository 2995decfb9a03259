// The agent's relay to its upstream proxy, against a real loopback listener standing in for the
// proxy: how each request is rewritten on its way, and what happens when the upstream closes.
#include "upstreamrelay.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

constexpr int waitMs = 10000;
constexpr int proxyId = 7;

} // namespace

class UpstreamRelayTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void rewrite_data();
    void rewrite();
    void upstreamCloses_data();
    void upstreamCloses();
    void unreachableUpstreamAnswers502();

private:
    // Everything the upstream received on its n-th connection, once it stops growing.
    QByteArray received(int connection);
    QTcpSocket* upstream(int connection);

    std::unique_ptr<QTcpServer> m_upstream;
    QList<QTcpSocket*> m_connections;
    QHash<QTcpSocket*, QByteArray> m_bytes;
    std::unique_ptr<UpstreamRelay> m_relay;
    QStringList m_events;
    QByteArray m_toClient;
};

void UpstreamRelayTest::init()
{
    m_upstream.reset(new QTcpServer);
    QVERIFY(m_upstream->listen(QHostAddress::LocalHost));
    m_connections.clear();
    m_bytes.clear();
    connect(m_upstream.get(), &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_upstream->nextPendingConnection()) {
            m_connections.append(socket);
            connect(socket, &QTcpSocket::readyRead, this,
                [this, socket] { m_bytes[socket] += socket->readAll(); });
        }
    });
    m_relay.reset(new UpstreamRelay(QStringLiteral("127.0.0.1"), m_upstream->serverPort()));
    m_events.clear();
    m_toClient.clear();
    connect(m_relay.get(), &UpstreamRelay::event, this,
        [this](const QString& line) { m_events.append(line); });
    connect(m_relay.get(), &UpstreamRelay::dataForClient, this, [this](int id, const QByteArray& bytes) {
        QCOMPARE(id, proxyId);
        m_toClient += bytes;
    });
}

void UpstreamRelayTest::cleanup()
{
    m_relay.reset();
    m_upstream.reset();
}

QTcpSocket* UpstreamRelayTest::upstream(int connection)
{
    static_cast<void>(
        QTest::qWaitFor([&] { return m_connections.size() > connection; }, waitMs));
    return m_connections.value(connection);
}

QByteArray UpstreamRelayTest::received(int connection)
{
    QTcpSocket* socket = upstream(connection);
    if (!socket)
        return QByteArray();
    int size = -1;
    while (size != m_bytes.value(socket).size()) {
        size = m_bytes.value(socket).size();
        QTest::qWait(50);
    }
    return m_bytes.value(socket);
}

// The client's bytes, in the writes they arrive in, against what the upstream must get.
void UpstreamRelayTest::rewrite_data()
{
    QTest::addColumn<QByteArrayList>("writes");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray get = "GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n";
    const QByteArray kept = get + "Connection: keep-alive\r\n\r\n";
    QTest::newRow("connection headers replaced by keep-alive")
        << QByteArrayList { get + "Proxy-Connection: close\r\nconnection: Close\r\n\r\n" } << kept;
    QTest::newRow("header block cut mid-line and at its end")
        << QByteArrayList { "GET http://a.test/ HTTP/1.1\r\nHo", "st: a.test\r\n\r", "\n" } << kept;
    // A body is counted, never read as headers, whatever it holds; the request after it is.
    QTest::newRow("body by its length, then the next request")
        << QByteArrayList { "POST http://a.test/ HTTP/1.1\r\nContent-Length: 6\r\n\r\nx\r\n\r\n",
               "y" + get + "\r\n" }
        << QByteArray("POST http://a.test/ HTTP/1.1\r\nContent-Length: 6\r\nConnection: "
                      "keep-alive\r\n\r\nx\r\n\r\ny"
            + kept);
    const QByteArray connectHead = "CONNECT a.test:443 HTTP/1.1\r\nConnection: close\r\n\r\n";
    QTest::newRow("CONNECT and what follows pass as they are")
        << QByteArrayList { connectHead, get + "\r\n" } << connectHead + get + "\r\n";
    const QByteArray chunked = "POST http://a.test/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n"
                               "Connection: close\r\n\r\n";
    QTest::newRow("a body of untracked length passes as it is")
        << QByteArrayList { chunked, "5\r\nhello\r\n0\r\n\r\n" + get + "\r\n" }
        << chunked + "5\r\nhello\r\n0\r\n\r\n" + get + "\r\n";
    const QByteArray upgrade = get + "Connection: Upgrade\r\nUpgrade: websocket\r\n\r\n";
    QTest::newRow("an upgrade passes as it is") << QByteArrayList { upgrade } << upgrade;
    const QByteArray endless = "GET http://a.test/ HTTP/1.1\r\nX: " + QByteArray(70000, 'x');
    QTest::newRow("a header block past 64 KiB passes as it is")
        << QByteArrayList { endless, "\r\n\r\n" } << endless + "\r\n\r\n";
}

void UpstreamRelayTest::rewrite()
{
    QFETCH(QByteArrayList, writes);
    QFETCH(QByteArray, expected);
    m_relay->open(proxyId);
    for (const QByteArray& bytes : writes)
        m_relay->write(proxyId, bytes);
    QCOMPARE(received(0), expected);
    QCOMPARE(m_connections.size(), 1);
}

// What the upstream does after the first request: answer, or close; then what the client sends.
void UpstreamRelayTest::upstreamCloses_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QByteArrayList>("upstreamGets");
    QTest::addColumn<QString>("event");

    const QByteArray one = "GET http://a.test/1 HTTP/1.1\r\nConnection: keep-alive\r\n\r\n";
    const QByteArray two = "GET http://a.test/2 HTTP/1.1\r\nConnection: keep-alive\r\n\r\n";
    QTest::newRow("closed unanswered: sent again on a fresh connection")
        << one << false << QByteArray() << QByteArrayList { one, one }
        << "upstream 7 closed without answering, 56 bytes sent again";
    QTest::newRow("closed after its answer: the next request reopens")
        << one << true << two << QByteArrayList { one, two }
        << "upstream 7 reopened for the next request";
    const QByteArray tunnel = "CONNECT a.test:443 HTTP/1.1\r\n\r\n";
    QTest::newRow("a CONNECT tunnel is never reopened")
        << tunnel << true << QByteArray("\x16\x03\x01") << QByteArrayList { tunnel }
        << "upstream 7 is not open, 3 bytes dropped";
}

void UpstreamRelayTest::upstreamCloses()
{
    QFETCH(QByteArray, first);
    QFETCH(bool, answered);
    QFETCH(QByteArray, second);
    QFETCH(QByteArrayList, upstreamGets);
    QFETCH(QString, event);
    m_relay->open(proxyId);
    m_relay->write(proxyId, first);
    QCOMPARE(received(0), first);
    if (answered) {
        upstream(0)->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
        QTRY_COMPARE_WITH_TIMEOUT(m_toClient, QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"), waitMs);
    }
    upstream(0)->disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(m_events.filter(QStringLiteral("closed")).size() == 1, waitMs);
    if (!second.isEmpty())
        m_relay->write(proxyId, second);
    QTRY_VERIFY_WITH_TIMEOUT(m_events.contains(event), waitMs);
    for (int i = 0; i < upstreamGets.size(); ++i)
        QCOMPARE(received(i), upstreamGets.at(i));
    QCOMPARE(m_connections.size(), upstreamGets.size());
}

void UpstreamRelayTest::unreachableUpstreamAnswers502()
{
    const quint16 nobody = m_upstream->serverPort();
    m_upstream.reset(); // nobody listens there now
    m_relay.reset(new UpstreamRelay(QStringLiteral("127.0.0.1"), nobody));
    QSignalSpy answers(m_relay.get(), &UpstreamRelay::dataForClient);
    m_relay->open(proxyId);
    m_relay->write(proxyId, "GET http://a.test/ HTTP/1.1\r\n\r\n");
    QVERIFY(answers.wait(waitMs));
    QCOMPARE(answers.at(0).at(0).toInt(), proxyId);
    const QByteArray answer = answers.at(0).at(1).toByteArray();
    QVERIFY2(answer.startsWith("HTTP/1.1 502 Bad Gateway\r\n"), answer.constData());
    const int body = answer.indexOf("\r\n\r\n") + 4;
    QVERIFY(answer.contains("Content-Length: " + QByteArray::number(answer.size() - body) + "\r\n"));
}

QTEST_GUILESS_MAIN(UpstreamRelayTest)
#include "tst_upstreamrelay.moc"
