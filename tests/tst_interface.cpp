// The redirector as a host meets it: the meta-object interface of every public class, the
// initial state, the channel state, the order of release and the slots that do nothing.
#include <h5redir/h5memoryutil.h>
#include <h5redir/h5redir.h>
#include <h5redir/h5socket.h>
#include <h5redir/h5socketserver.h>
#include "logcapture.h"
#include "redirtesting.h"
#include "standins.h"

#include <QMetaMethod>
#include <QQuickWindow>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegion>
#include <QSignalSpy>
#include <QTest>

using namespace H5Test;

namespace {

const QMetaObject* metaObjectOf(const QByteArray& className)
{
    for (const QMetaObject* mo : { &H5redir::staticMetaObject, &H5MemoryUtil::staticMetaObject,
             &H5Socket::staticMetaObject, &H5SocketServer::staticMetaObject }) {
        if (className == mo->className())
            return mo;
    }
    return nullptr;
}

// "public slot name(type name,...)" for each method the class itself declares, in index order.
QStringList ownMethods(const QMetaObject* mo)
{
    QStringList result;
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod method = mo->method(i);
        QStringList parameters;
        for (int p = 0; p < method.parameterCount(); ++p) {
            parameters.append(QString::fromLatin1(
                method.parameterTypes().at(p) + ' ' + method.parameterNames().at(p)));
        }
        const char* access[] = { "private", "protected", "public" };
        const char* type[] = { "method", "signal", "slot", "constructor" };
        result.append(
            QStringLiteral("%1 %2 %3(%4)")
                .arg(QLatin1String(access[method.access()]),
                    QLatin1String(type[method.methodType()]), QString::fromLatin1(method.name()),
                    parameters.join(QLatin1Char(','))));
    }
    return result;
}

const QByteArray create8(R"({"commandId":2,"id":8,"data":"u8"})");
const QByteArray create9(R"({"commandId":2,"id":9,"data":"u9"})");

} // namespace

class TestInterface : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void metaObject_data();
    void metaObject();
    void windowInQueuedCreateResult();
    void initialPlayback_data();
    void initialPlayback();
    void channelState_data();
    void channelState();
    void release_data();
    void release();
    void slotsWithoutEffect();

private:
    // Create requests run "free -m": the stand-in answers.
    StandIns m_standIns;
};

void TestInterface::init() { m_standIns.setAvailable(1000); }

void TestInterface::metaObject_data()
{
    QTest::addColumn<QByteArray>("className");
    QTest::addColumn<QStringList>("methods");

    QTest::newRow("H5redir")
        << QByteArray("H5redir")
        << list({ "public signal messageToSpice(QByteArray msg,uint type)",
               "public signal h5SetRedirectState(bool bState)",
               "public signal h5playerWindowPos(int tabid,int x,int y,int w,int h)",
               "public signal h5CreateNewPlayer(int tabid,int x,int y,int width,int height,"
               "QString url)",
               "public signal h5DestroyPlayer(int tabid)",
               "public signal h5SetPlayerVisibility(int tabid,bool bIsVisible)",
               "public signal h5UpdateTitle(int tabid,QString title)",
               "public signal signalSetStop2Memory()", "public signal signalSetMute(bool bMute)",
               // moc writes quint16 as the type it stands for.
               "public signal signalSetVol(ushort vol)",
               "public signal signalInitSocketServer(int port)",
               "public signal signalWriteDataToSocket(int handle,QByteArray data)",
               "public slot onInitH5()",
               "public slot onCreatePlayerResult(int tabid,bool bCreateSuccess,QQuickWindow* "
               "window)",
               "public slot onLoadEnd(int tabid,bool bLoadSuccess)",
               "public slot onUpdateTitle(int tabid,QString title)",
               "public slot onUpdateUrl(int tabid,QString url)",
               "public slot onNewUrl(int tabid,QString url,bool bNewWindow,bool bPopup)",
               "public slot onRequestFullScreen(int tabid,bool bIsFullScreen)",
               "public slot onRedirectError(int tabid,int errorType)",
               "public slot onRequestActive(int tabid)",
               "public slot onRequestDownload(int tabid,QString url)",
               "public slot onUpdateZorvInfo(int topmargin)", "public slot OnRequestTip(int tabid)",
               "public slot OnUpdatePosOnWindows(int tabid)", "public slot onMemoryLessLimit()",
               "public slot onSocketNewConn(int handle)",
               "public slot onRecvDataFromSocket(int handle,QByteArray data)",
               "public slot onSocketDisConn(int handle)",
               "public slot onInitSocketServer(int port)",
               "public slot onProxyPolicy(QByteArray data)" });
    QTest::newRow("H5MemoryUtil") << QByteArray("H5MemoryUtil")
                                  << list({ "public signal signalMemoryLessLimit()",
                                         "public slot onSetStop()",
                                         "public slot onSetVol(ushort vol)",
                                         "public slot onSetMute(bool bMute)" });
    QTest::newRow("H5Socket")
        << QByteArray("H5Socket")
        << list({ "public signal signalRecvDataFromSocket(int handle,QByteArray data)",
               "public signal signalSocketDisConn(int handle)", "public slot onReadData()",
               "public slot onSocketDisConn()" });
    QTest::newRow("H5SocketServer")
        << QByteArray("H5SocketServer")
        << list({ "public signal signalSocketNewConn(int handle)",
               "public signal signalRecvDataFromSocket(int handle,QByteArray data)",
               "public signal signalSocketDisConn(int handle)",
               "public slot onRecvDataFromSocket(int handle,QByteArray data)",
               "public slot onWriteDataToSocket(int handle,QByteArray data)",
               "public slot onSocketDisConn(int handle)" });
}

void TestInterface::metaObject()
{
    QFETCH(QByteArray, className);
    QFETCH(QStringList, methods);

    const QMetaObject* mo = metaObjectOf(className);
    QVERIFY(mo);
    QCOMPARE(ownMethods(mo), methods);
    // Hosts connect by index as well as by name: the class's own methods start right after the
    // base's.
    QCOMPARE(mo->methodOffset(), mo->superClass()->methodCount());
}

void TestInterface::windowInQueuedCreateResult()
{
    H5redir redir;
    QQuickWindow player;
    feed(redir, create8);
    QSignalSpy sent(&redir, &H5redir::messageToSpice);

    // Delivered by name through the event loop, as a host in another thread would.
    QVERIFY(QMetaObject::invokeMethod(&redir, "onCreatePlayerResult", Qt::QueuedConnection,
        Q_ARG(int, 8), Q_ARG(bool, false), Q_ARG(QQuickWindow*, &player)));
    QCOMPARE(sent.count(), 0);
    QVERIFY(sent.wait());
    QCOMPARE(sent.at(0).at(0).toByteArray(), QByteArray(R"({"commandId":3,"data":false,"id":8})"));
    QCOMPARE(redir.GetBRWindowById(8), &player);
    QVERIFY(QMetaType::type("QQuickWindow*") != QMetaType::UnknownType);
}

void TestInterface::initialPlayback_data()
{
    QTest::addColumn<bool>("volume");
    QTest::addColumn<int>("value");
    QTest::addColumn<QStringList>("log");

    QTest::newRow("volume 77 is the initial one") << true << 77 << QStringList();
    QTest::newRow("volume 78") << true << 78
                               << list({ "D H5 PlaybackVolumeChange system vol is change to: 78" });
    QTest::newRow("volume 0") << true << 0
                              << list({ "D H5 PlaybackVolumeChange system vol is change to: 0" });
    QTest::newRow("unmuted is the initial state") << false << 0 << QStringList();
    QTest::newRow("muted") << false << 1
                           << list({ "D H5 PlaybackMuteChange system mute is change to: true" });
}

void TestInterface::initialPlayback()
{
    QFETCH(bool, volume);
    QFETCH(int, value);
    QFETCH(QStringList, log);

    H5redir redir;
    Recorder recorder(&redir);
    LogCapture capture;
    // The second report repeats the first and is ignored.
    for (int i = 0; i < 2; ++i) {
        if (volume)
            redir.PlaybackVolumeChange(quint16(value));
        else
            redir.PlaybackMuteChange(value != 0);
    }
    QCOMPARE(h5Lines(capture), log);
    // Without a monitor the value is only remembered.
    QCOMPARE(recorder.events, QStringList());
}

void TestInterface::channelState_data()
{
    QTest::addColumn<QByteArrayList>("players");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QStringList>("timeline");

    const char* connected = "I H5 SetH5ChannelState Br channel connected ..";
    const char* disconnected
        = "I H5 SetH5ChannelState Br channel disconnected, do release all players";

    QTest::newRow("connected") << QByteArrayList() << true << list({ connected });
    QTest::newRow("connected keeps players")
        << QByteArrayList { create8 } << true << list({ connected });
    QTest::newRow("disconnected, no players")
        << QByteArrayList() << false
        << list({ disconnected, "D H5 DelAllBRData m_listBRData is null",
               "h5SetRedirectState(false)" });
    QTest::newRow("disconnected, two players")
        << QByteArrayList { create9, create8 } << false
        << list({ disconnected, "h5DestroyPlayer(9)", "h5DestroyPlayer(8)",
               "h5SetRedirectState(false)" });
}

void TestInterface::channelState()
{
    QFETCH(QByteArrayList, players);
    QFETCH(bool, connected);
    QFETCH(QStringList, timeline);

    H5redir redir;
    for (const QByteArray& create : players)
        feed(redir, create);
    LogCapture log;
    Recorder recorder(&redir, &log);

    // Nothing else: no proxy policy is sent before the server asked for the local proxy, and no
    // monitor runs to be stopped.
    redir.SetH5ChannelState(connected);
    QCOMPARE(recorder.timeline(), timeline);
    QCOMPARE(redir.IsNoBRData(), !connected || players.isEmpty());
}

void TestInterface::release_data()
{
    QTest::addColumn<QByteArrayList>("players");
    QTest::addColumn<QStringList>("timeline");

    const char* start = "I H5 ~H5redir start release";
    const char* end = "I H5 ~H5redir end release";
    QTest::newRow("no players") << QByteArrayList()
                                << list({ start, "D H5 DelAllBRData m_listBRData is null", end });
    QTest::newRow("two players in registry order") << QByteArrayList { create9,
        create8 } << list({ start, "h5DestroyPlayer(9)", "h5DestroyPlayer(8)", end });
}

void TestInterface::release()
{
    QFETCH(QByteArrayList, players);
    QFETCH(QStringList, timeline);

    auto* redir = new H5redir;
    for (const QByteArray& create : players)
        feed(*redir, create);
    LogCapture log;
    Recorder recorder(redir, &log);
    delete redir;
    // Redirection is not reported as ended: the host is the one ending it.
    QCOMPARE(recorder.timeline(), timeline);
}

void TestInterface::slotsWithoutEffect()
{
    H5redir redir;
    QQuickWindow zorv;
    QQuickWindow player;
    player.setGeometry(100, 50, 400, 300);
    redir.SetZorvWindow(&zorv);
    feed(redir, create8);
    redir.SaveWindowInBRData(8, &player);
    redir.SavePosInBRData(8, 100, 50, 400, 300);
    redir.SaveVisibleInBRData(8, true);
    redir.ClipWindow(
        8, QJsonDocument::fromJson(R"([{"left":100,"top":50,"width":200,"height":300}])").array());
    const QRegion mask = player.mask();
    QCOMPARE(mask, QRegion(200, 0, 200, 300));

    Recorder recorder(&redir);
    LogCapture log;
    redir.onUpdateZorvInfo(40);
    redir.onInitH5();
    redir.OnUpdatePosOnWindows(8);
    QCOMPARE(recorder.events, QStringList());
    QCOMPARE(h5Lines(log), QStringList());
    QCOMPARE(player.mask(), mask);
    QCOMPARE(player.geometry(), QRect(100, 50, 400, 300));
    QCOMPARE(redir.GetBRWindowById(8), &player);
}

QTEST_MAIN(TestInterface)

#include "tst_interface.moc"
