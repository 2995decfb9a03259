// The URL guard of the reference host: which URLs a server may have the client's player open,
// however it spells them, and the reason given for each refusal.
#include "urlguard.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QTest>

class TestUrlGuard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void check_data();
    void check();
};

void TestUrlGuard::check_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("reason"); // empty: opened
    const auto row = [](const QString& url, const QString& reason) {
        QTest::newRow(qPrintable(url)) << url << reason;
    };
    row("http://video.example/watch?v=1", "");
    row("HTTPS://Media.Player.Test:8443/index.html", "");
    row("http://127.0.0.1.nip.io/", "");
    row("http://127.0.0.1@video.example/", "");
    row("http://8.8.8.8/", "");
    row("http://172.32.0.1/", "");
    row("http://100.128.0.1/", "");
    row("http://[2001:db8::1]/", "");
    row("http://10.1.2.3/videos/a.mp4", "");
    row("http://012.1.2.3/videos/a.mp4", "");
    row("http://localhost:8080/x", "");

    row("file:///etc/passwd", "scheme \"file\" is not http or https");
    row("FILE:///root/", "scheme \"file\" is not http or https");
    row("data:text/html;base64,PHNjcmlwdD5hbGVydCgxKTwvc2NyaXB0Pg==",
        "scheme \"data\" is not http or https");
    row("javascript:alert(1)", "scheme \"javascript\" is not http or https");
    row("view-source:file:///etc/passwd", "scheme \"view-source\" is not http or https");
    row("chrome://gpu", "scheme \"chrome\" is not http or https");
    row("qrc:/WebPlayer.qml", "scheme \"qrc\" is not http or https");
    row("http:/127.0.0.1/", "no host");
    row("http:\\\\127.0.0.1\\", "invalid URL");
    row(" http://127.0.0.1/", "invalid URL");
    row("http://%31%32%37.0.0.1/", "invalid URL");
    row("http://1.2.3.4.5/", "invalid address 1.2.3.4.5");
    row("http://127.0.0.256/", "invalid address 127.0.0.256");
    row("http://1.256.0.1/", "invalid address 1.256.0.1");
    row("http://0x100000000/", "invalid address 0x100000000");
    row("http://video.09/", "invalid address video.09");

    row("HTTP://127.0.0.1:8000/admin.html", "loopback address 127.0.0.1");
    row("http://0x7f.1/", "loopback address 127.0.0.1");
    row("http://0x7f.1./", "loopback address 127.0.0.1");
    row("http://2130706433/", "loopback address 127.0.0.1");
    row("http://0177.0.0.1/", "loopback address 127.0.0.1");
    row("http://0177.0.0.1./", "loopback address 127.0.0.1");
    row("http://127.0.0.1./", "loopback address 127.0.0.1");
    row("http://127.1.2.3/", "loopback address 127.1.2.3");
    row("http://\uff11\uff12\uff17.0.0.1/", "loopback address 127.0.0.1");
    row("http://video.example@127.0.0.1/", "loopback address 127.0.0.1");
    row("http://10.1.2.3@127.0.0.1/", "loopback address 127.0.0.1");
    row("http://intranet.example@127.0.0.1/", "loopback address 127.0.0.1");
    row("http://[::1]/", "loopback address ::1");
    row("http://[::ffff:127.0.0.1]/", "loopback address 127.0.0.1");
    row("http://[::ffff:7f00:2]/", "loopback address 127.0.0.2");
    row("http://LocalHost.:8081/", "loopback name localhost");
    row("http://video.localhost./", "loopback name video.localhost");
    row("http://ip6-localhost/", "loopback name ip6-localhost");
    row("http://0/", "unspecified address 0.0.0.0");
    row("http://[::]/", "unspecified address ::");
    row("http://169.254.169.254/latest/meta-data/", "link-local address 169.254.169.254");
    row("http://[fe80::1]/", "link-local address fe80::1");
    row("http://10.1.2.4/", "private address 10.1.2.4");
    row("http://172.31.255.255/", "private address 172.31.255.255");
    row("http://0xc0.0xa8.1.1/", "private address 192.168.1.1");
    row("http://100.64.0.1/", "private address 100.64.0.1");
    row("http://[fc00::1]/", "private address fc00::1");
    row("http://[::ffff:10.0.0.1]/", "private address 10.0.0.1");

    const QString name = QHostInfo::localHostName().toLower();
    row("http://" + name.toUpper() + "./", "own name " + name);
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.isLoopback() || address.isLinkLocal())
            continue;
        const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
            ? "[" + address.toString() + "]"
            : address.toString();
        row("http://" + host + "/", "own address " + address.toString());
    }
}

void TestUrlGuard::check()
{
    QFETCH(QString, url);
    QFETCH(QString, reason);
    const UrlGuard guard(
        { "http://10.1.2.3/*", "HTTP://LOCALHOST:8080/*", "http://intranet.example*" });
    QCOMPARE(guard.check(url), reason);
}

QTEST_GUILESS_MAIN(TestUrlGuard)
#include "tst_urlguard.moc"
