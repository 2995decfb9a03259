// The channel as the server sees it: the length field helpers, the receive and send paths, the
// JSON envelope, every inbound command with its signals, replies and log lines, and the inbound
// proxy data frames.
#include <h5redir/h5redir.h>
#include "logcapture.h"
#include "placedplayer.h"
#include "redirtesting.h"
#include "standins.h"

#include <QRegion>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <climits>

using namespace H5Test;

class TestChannel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void setDataLen_data();
    void setDataLen();
    void invalidArguments();
    void message_data();
    void message();
    void create_data();
    void create();
    void positionReachesClipping_data();
    void positionReachesClipping();
    void proxyFrame_data();
    void proxyFrame();

private:
    // Create requests run "free -m": the stand-in answers, never the machine.
    StandIns m_standIns;
};

void TestChannel::init()
{
    m_standIns.setAvailable(1000);
    m_standIns.clearCalls();
}

void TestChannel::setDataLen_data()
{
    QTest::addColumn<int>("len");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("300") << 300 << QByteArray::fromHex("2c010000aa");
    QTest::newRow("INT_MAX") << INT_MAX << QByteArray::fromHex("ffffff7faa");
    QTest::newRow("negative") << -2 << QByteArray::fromHex("feffffffaa");
    QTest::newRow("INT_MIN") << INT_MIN << QByteArray::fromHex("00000080aa");
    QTest::newRow("zero leaves the buffer") << 0 << QByteArray::fromHex("aaaaaaaaaa");
}

void TestChannel::setDataLen()
{
    QFETCH(int, len);
    QFETCH(QByteArray, bytes);

    H5redir redir;
    LogCapture log;
    // One byte more than the field, to see that nothing beyond it is written or read.
    QByteArray buffer(5, '\xaa');
    auto *field = reinterpret_cast<unsigned char *>(buffer.data());
    redir.SetDataLen(field, len);
    QCOMPARE(buffer, bytes);
    QCOMPARE(h5Lines(log),
             len ? QStringList() : list({ "D H5 SetDataLen SetDataLen Invalid parameter" }));
    unsigned int read = 0;
    redir.GetDataLen(field, read);
    QCOMPARE(read, len ? static_cast<unsigned int>(len) : 0xaaaaaaaau);
}

void TestChannel::invalidArguments()
{
    H5redir redir;
    Recorder recorder(&redir);
    LogCapture log;

    redir.SetDataLen(nullptr, 300);
    unsigned int len = 1234;
    redir.GetDataLen(nullptr, len);
    QCOMPARE(len, 1234u);
    QCOMPARE(redir.parseSpiceData(nullptr, 20), -1);
    char byte = '{';
    QCOMPARE(redir.parseSpiceData(&byte, 0), 0);
    QByteArray empty;
    redir.SendMsgToZorv(empty);
    QCOMPARE(h5Lines(log),
             list({ "D H5 SetDataLen SetDataLen Invalid parameter",
                    "D H5 GetDataLen GetDataLen Invalid parameter",
                    "D H5 parseSpiceData parseSpiceData Invalid parameter",
                    "D H5 HandleServerMsg HandleServerMsg Invalid parameter",
                    "D H5 SendMsgToZorv SendMsgToZorv Invalid parameter" }));

    // The closing brace lies beyond the byte count: what is left is no JSON object.
    QByteArray title(R"({"commandId":4,"id":3,"data":"T"})");
    QCOMPARE(redir.parseSpiceData(title.data(), uint(title.size() - 1)), 0);
    QCOMPARE(h5Lines(log, QStringLiteral("H5 HandleServerMsg read")), QStringList());
    QCOMPARE(recorder.events, QStringList());
}

void TestChannel::message_data()
{
    QTest::addColumn<QByteArrayList>("before");
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("log");

    const QByteArrayList none;
    const QByteArray create8(R"({"commandId":2,"id":8,"data":"u8"})");
    const QByteArray create9(R"({"commandId":2,"id":9,"data":"u9"})");
    const QByteArray destroy8(R"({"commandId":26,"id":8})");
    const QByteArray destroyAll(R"({"commandId":28,"id":0})");
    const char cutTitle[] = "{\"commandId\":4,\"id\":3,\"data\":\"T\"}\0{\"commandId\":4}";
    const char *read3_0 = "D H5 HandleServerMsg read info from Json, tabid: 3 , commandId: 0";
    const char *read3_4 = "D H5 HandleServerMsg read info from Json, tabid: 3 , commandId: 4";
    const char *read3_22 = "D H5 HandleServerMsg read info from Json, tabid: 3 , commandId: 22";
    const char *read8_26 = "D H5 HandleServerMsg read info from Json, tabid: 8 , commandId: 26";
    const char *read0_28 = "D H5 HandleServerMsg read info from Json, tabid: 0 , commandId: 28";
    const char *titleT = R"(D H5 HandleServerMsg read title from Json : "T")";
    const char *del8 = "D H5 DelBRDataInfoById Del the br info ,tabid : 8";
    const QStringList nothing;

    QTest::newRow("commandId -1") << none << QByteArray(R"({"commandId":-1,"id":3})") << nothing
                                  << list({ "C H5 HandleServerMsg invalid commandid" });
    QTest::newRow("commandId -1 before id") << none << QByteArray(R"({"commandId":-1})") << nothing
                                            << list({ "C H5 HandleServerMsg invalid commandid" });
    QTest::newRow("no id") << none << QByteArray(R"({"commandId":2,"data":"x"})") << nothing
                           << list({ "C H5 HandleServerMsg can not find id from json" });
    QTest::newRow("id -1")
            << none << QByteArray(R"({"commandId":2,"id":-1,"data":"x"})") << nothing
            << list({ "D H5 HandleServerMsg read info from Json, tabid: -1 , commandId: 2",
                      "C H5 HandleServerMsg invalid tabid" });
    QTest::newRow("only id") << none << QByteArray(R"({"id":3})") << nothing
            << list({ read3_0, R"(D H5 HandleServerMsg recv unkonw msg: "{\"id\":3}")" });
    QTest::newRow("commandId a string") << none << QByteArray(R"({"commandId":"2","id":3})")
            << nothing << list({ read3_0, R"(D H5 HandleServerMsg recv unkonw msg: )"
                                          R"("{\"commandId\":\"2\",\"id\":3}")" });
    QTest::newRow("negative command") << none << QByteArray(R"({"commandId":-2,"id":3})") << nothing
            << list({ "D H5 HandleServerMsg read info from Json, tabid: 3 , commandId: -2",
                      R"(D H5 HandleServerMsg recv unkonw msg: "{\"commandId\":-2,\"id\":3}")" });

    QTest::newRow("title") << none << QByteArray(R"({"commandId":4,"id":3,"data":"A b"})")
            << list({ "h5UpdateTitle(3,A b)" })
            << list({ read3_4, R"(D H5 HandleServerMsg read title from Json : "A b")" });
    // The text ends at the first zero byte: the second object is never seen.
    QTest::newRow("text cut at zero byte")
            << none << QByteArray(cutTitle, sizeof(cutTitle) - 1) << list({ "h5UpdateTitle(3,T)" })
            << list({ read3_4, titleT });
    for (const char *id : { R"("7")", "null", "2.5" }) {
        QTest::addRow("id %s reads as tab 0", id)
                << none << QByteArray(R"({"commandId":4,"data":"T","id":)") + id + '}'
                << list({ "h5UpdateTitle(0,T)" })
                << list({ "D H5 HandleServerMsg read info from Json, tabid: 0 , commandId: 4",
                          titleT });
    }
    QTest::newRow("visible, no player")
            << none << QByteArray(R"({"commandId":8,"id":3,"data":true})")
            << list({ "h5SetPlayerVisibility(3,true)" })
            << list({ "D H5 HandleServerMsg read info from Json, tabid: 3 , commandId: 8",
                      "D H5 HandleServerMsg read visible from Json : true" });
    QTest::newRow("position") << none
            << QByteArray(R"({"commandId":22,"id":3,"left":10,"top":20,"width":160,"height":90})")
            << list({ "h5playerWindowPos(3,10,20,160,90)" })
            << list({ read3_22, "D H5 HandleServerMsg read pos from Json : 10 20 160 90" });
    QTest::newRow("position, zero width") << none
            << QByteArray(R"({"commandId":22,"id":3,"left":10,"top":20,"width":0,"height":90})")
            << nothing
            << list({ read3_22, "D H5 HandleServerMsg read pos from Json : 10 20 0 90" });
    QTest::newRow("position, zero height") << none
            << QByteArray(R"({"commandId":22,"id":3,"left":10,"top":20,"width":160,"height":0})")
            << nothing
            << list({ read3_22, "D H5 HandleServerMsg read pos from Json : 10 20 160 0" });
    QTest::newRow("position inside data") << none
            << QByteArray(R"({"commandId":22,"id":3,"data":{"left":10,"top":20,"width":160,)"
                          R"("height":90}})")
            << nothing << list({ read3_22, "D H5 HandleServerMsg read pos from Json : 0 0 0 0" });
    QTest::newRow("clip without main window") << QByteArrayList { create8 }
            << QByteArray(R"({"commandId":24,"id":8,"data":[{"width":5,"height":5}]})") << nothing
            << list({ "D H5 HandleServerMsg read info from Json, tabid: 8 , commandId: 24",
                      "C H5 ClipWindow invalid data" });

    QTest::newRow("destroy on empty registry") << none << destroy8
            << list({ "h5SetRedirectState(false)" }) << list({ read8_26 });
    QTest::newRow("destroy the last player") << QByteArrayList { create8 } << destroy8
            << list({ "h5DestroyPlayer(8)", "h5SetRedirectState(false)" })
            << list({ read8_26, del8 });
    QTest::newRow("destroy one of two") << QByteArrayList { create8, create9 } << destroy8
            << list({ "h5DestroyPlayer(8)" }) << list({ read8_26, del8 });
    QTest::newRow("destroy all") << QByteArrayList { create8, create9 } << destroyAll
            << list({ "h5DestroyPlayer(8)", "h5DestroyPlayer(9)", "h5SetRedirectState(false)" })
            << list({ read0_28 });
    QTest::newRow("destroy all, empty registry") << none << destroyAll
            << list({ "h5SetRedirectState(false)" })
            << list({ read0_28, "D H5 DelAllBRData m_listBRData is null" });
}

void TestChannel::message()
{
    QFETCH(QByteArrayList, before);
    QFETCH(QByteArray, msg);
    QFETCH(QStringList, events);
    QFETCH(QStringList, log);

    H5redir redir;
    Recorder recorder(&redir);
    for (const QByteArray &setup : before)
        feed(redir, setup);
    recorder.events.clear();
    LogCapture capture;

    QCOMPARE(feed(redir, msg), 0);
    QCOMPARE(recorder.events, events);
    QCOMPARE(h5Lines(capture), log);
}

void TestChannel::create_data()
{
    QTest::addColumn<bool>("engine");
    QTest::addColumn<bool>("older");
    QTest::addColumn<qint64>("available");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("critical");

    const QString url = QStringLiteral("http://v.example/play?a=1&b=%20");
    const QString light = QStringLiteral("http://v.example/2-class/play");
    const QString heavy = QStringLiteral("http://v.example/2-CLASS/play");
    const auto created = [](const QString &url) {
        return QStringList { QStringLiteral("h5CreateNewPlayer(7,0,0,0,0,%1)").arg(url) };
    };
    const QStringList refused
            = list({ R"(messageToSpice({"commandId":3,"data":false,"id":7},113))" });
    const QStringList destroyed = list({ "h5DestroyPlayer(7)" });
    const QString memory = QStringLiteral("C H5 HandleServerMsg memory not allow");
    const QString engine = QStringLiteral(
            "C H5 HandleServerMsg HandleServerMsg No WebEngine module,so not allow this Redirect");

    QTest::newRow("400") << true << false << qint64(400) << url << created(url) << QString();
    QTest::newRow("399") << true << false << qint64(399) << url << refused << memory;
    QTest::newRow("2-class, 150") << true << false << qint64(150) << light << created(light)
                                  << QString();
    QTest::newRow("2-class, 149") << true << false << qint64(149) << light << refused << memory;
    QTest::newRow("2-CLASS, 150") << true << false << qint64(150) << heavy << refused << memory;
    QTest::newRow("older player replaced") << true << true << qint64(400) << url
                                           << destroyed + created(url) << QString();
    QTest::newRow("older player gone, refused") << true << true << qint64(399) << url
                                                << destroyed + refused << memory;
    QTest::newRow("no engine") << false << false << qint64(1000) << url << refused << engine;
    QTest::newRow("no engine, older player kept") << false << true << qint64(1000) << url
                                                  << refused << engine;
}

void TestChannel::create()
{
    QFETCH(bool, engine);
    QFETCH(bool, older);
    QFETCH(qint64, available);
    QFETCH(QString, url);
    QFETCH(QStringList, events);
    QFETCH(QString, critical);

    H5redir redir;
    Recorder recorder(&redir);
    if (older)
        feed(redir, R"({"commandId":2,"id":7,"data":"old"})");
    QCOMPARE(redir.IsNoBRData(), !older);
    redir.SetWebEngine(engine);
    m_standIns.setAvailable(available);
    m_standIns.clearCalls();
    recorder.events.clear();
    LogCapture log;
    QSignalSpy sent(&redir, &H5redir::messageToSpice);

    feed(redir, QStringLiteral(R"({"commandId":2,"id":7,"data":"%1"})").arg(url).toUtf8());
    QCOMPARE(recorder.events, events);
    QCOMPARE(h5Lines(log, QStringLiteral("H5 HandleServerMsg")).filter(QRegularExpression(
                     QStringLiteral("^C "))),
             critical.isEmpty() ? QStringList() : QStringList { critical });
    // The memory check runs once, and only when the engine could take the player.
    QCOMPARE(m_standIns.calls(QStringLiteral("free")), engine ? list({ "-m" }) : QStringList());
    QCOMPARE(sent.count(), critical.isEmpty() ? 0 : 1);
    if (!critical.isEmpty()) {
        QCOMPARE(sent.at(0).at(0).toByteArray(),
                 QByteArray(R"({"commandId":3,"data":false,"id":7})"));
        QCOMPARE(sent.at(0).at(1).toUInt(), 113u);
    }

    // A record exists after an admission, and the engine refusal leaves an older one in place.
    const bool registered = critical.isEmpty() || (older && !engine);
    QCOMPARE(redir.IsNoBRData(), !registered);
    recorder.events.clear();
    feed(redir, R"({"commandId":26,"id":7})");
    QCOMPARE(recorder.events.contains(QStringLiteral("h5DestroyPlayer(7)")), registered);
}

void TestChannel::positionReachesClipping_data()
{
    QTest::addColumn<QByteArray>("position");
    QTest::addColumn<QByteArray>("clip");
    QTest::addColumn<QRegion>("mask");

    const QByteArray same(R"({"commandId":22,"id":3,"left":10,"top":20,"width":160,"height":90})");
    const QByteArray uncovered(R"({"commandId":24,"id":3,"data":[]})");
    // Clip rectangles share the coordinates of the position: the left half of the player.
    QTest::newRow("left half covered") << same
            << QByteArray(R"({"commandId":24,"id":3,"data":[{"left":10,"top":20,"width":80,)"
                          R"("height":90}]})")
            << QRegion(80, 0, 80, 90);
    QTest::newRow("data not an array") << same << QByteArray(R"({"commandId":24,"id":3,"data":{}})")
                                       << QRegion(0, 0, 160, 90);
    // Both replace the earlier rectangle although the host is not told.
    QTest::newRow("zero width stored")
            << QByteArray(R"({"commandId":22,"id":3,"left":10,"top":20,"width":0,"height":90})")
            << uncovered << QRegion();
    QTest::newRow("members inside data store zeros")
            << QByteArray(R"({"commandId":22,"id":3,"data":{"left":10,"top":20,"width":160,)"
                          R"("height":90}})")
            << uncovered << QRegion();
}

void TestChannel::positionReachesClipping()
{
    QFETCH(QByteArray, position);
    QFETCH(QByteArray, clip);
    QFETCH(QRegion, mask);

    PlacedPlayer placed;
    feed(placed.redir, position);
    feed(placed.redir, clip);
    QCOMPARE(placed.player.mask(), mask);
}

void TestChannel::proxyFrame_data()
{
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<QVariantList>("written");
    QTest::addColumn<QString>("header");
    QTest::addColumn<int>("criticals");

    const auto header = [](qint32 command, qint32 proxyId, qint32 dataLen) {
        return QStringLiteral("D H5 HandleServerMsg command id : %1 ,proxy id: %2 ,proxy data len: "
                              "%3")
                .arg(command)
                .arg(proxyId)
                .arg(dataLen);
    };
    const QByteArray binary("\0\x01\xff\0", 4);
    const QVariantList none;

    QTest::newRow("13 bytes, one payload byte")
            << QByteArray("\x23\0\0\0\x01\0\0\0\x01\0\0\0" "A", 13)
            << QVariantList { 1, QByteArray("A") } << header(35, 1, 1) << 0;
    QTest::newRow("three bytes") << frame(35, 4, 3, "xyz") << QVariantList { 4, QByteArray("xyz") }
                                 << header(35, 4, 3) << 0;
    QTest::newRow("bytes beyond the length ignored") << frame(35, 4, 3, "xyzEXTRA")
            << QVariantList { 4, QByteArray("xyz") } << header(35, 4, 3) << 0;
    QTest::newRow("binary payload unchanged")
            << frame(35, 2, 4, binary) << QVariantList { 2, binary } << header(35, 2, 4) << 0;
    QTest::newRow("command 34") << frame(34, 1, 1, "A") << none << header(34, 1, 1) << 0;
    QTest::newRow("proxy id 0") << frame(35, 0, 1, "A") << none << header(35, 0, 1) << 0;
    QTest::newRow("proxy id -1") << frame(35, -1, 1, "A") << none << header(35, -1, 1) << 0;
    QTest::newRow("data length 0") << frame(35, 1, 0, "A") << none << header(35, 1, 0) << 0;
    QTest::newRow("data length -1") << frame(35, 1, -1, "A") << none << header(35, 1, -1) << 0;
    QTest::newRow("12-byte header alone") << frame(35, 1, 1) << none << QString() << 0;
    QTest::newRow("12 bytes of text") << QByteArray("twelve bytes") << none << QString() << 0;
    // Its fields are the bytes "[1,2", ",3,4" and ",5,6" read little-endian.
    QTest::newRow("JSON array of 15 bytes") << QByteArray("[1,2,3,4,5,6,7]") << none
                                            << header(0x322c315b, 0x342c332c, 0x362c352c) << 0;
    QTest::newRow("one byte short") << frame(35, 1, 4, "abc") << none << header(35, 1, 4) << 1;
    QTest::newRow("length INT_MAX") << frame(35, 1, INT_MAX, "ab") << none << header(35, 1, INT_MAX)
                                    << 1;
}

void TestChannel::proxyFrame()
{
    QFETCH(QByteArray, msg);
    QFETCH(QVariantList, written);
    QFETCH(QString, header);
    QFETCH(int, criticals);

    H5redir redir;
    Recorder recorder(&redir);
    QSignalSpy spy(&redir, &H5redir::signalWriteDataToSocket);
    LogCapture log;

    QCOMPARE(feed(redir, msg), 0);
    QCOMPARE(spy.count(), written.isEmpty() ? 0 : 1);
    if (!written.isEmpty())
        QCOMPARE(spy.first(), written);
    QCOMPARE(recorder.events.count(), spy.count());
    QStringList lines = h5Lines(log, QStringLiteral("H5 HandleServerMsg"));
    if (!header.isEmpty())
        QCOMPARE(lines.takeFirst(), header);
    // Dropping a frame that claims more bytes than arrived is a critical line of its own.
    QCOMPARE(lines.filter(QRegularExpression(QStringLiteral("^C "))).count(), criticals);
    QCOMPARE(lines.count(), criticals);
}

QTEST_MAIN(TestChannel)

#include "tst_channel.moc"
