// The channel as the server and the host see it: the length field helpers, the JSON envelope,
// every inbound command and proxy data frame with its signals and log lines, hostile input one row
// each, the admission of create requests against what "free -m" prints, and the channel state and
// release order.
#include <h5redir/h5redir.h>
#include "logcapture.h"
#include "redirtesting.h"
#include "standins.h"

#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <climits>

using namespace H5Test;

namespace {

QString read(int tabid, int command)
{
    return QStringLiteral("D H5 HandleServerMsg read info from Json, tabid: %1 , commandId: %2")
        .arg(tabid)
        .arg(command);
}

QString header(const QByteArray& msg)
{
    return QStringLiteral("D H5 HandleServerMsg command id : %1 ,proxy id: %2 ,proxy data len: %3")
        .arg(qFromLittleEndian<qint32>(msg.constData()))
        .arg(qFromLittleEndian<qint32>(msg.constData() + 4))
        .arg(qFromLittleEndian<qint32>(msg.constData() + 8));
}

QString unknown(const QByteArray& msg)
{
    return QStringLiteral(R"(D H5 HandleServerMsg recv unkonw msg: "%1")")
        .arg(QString::fromUtf8(msg).replace(QLatin1Char('"'), QLatin1String("\\\"")));
}

QString title(const QString& text)
{
    return QStringLiteral(R"(D H5 HandleServerMsg read title from Json : "%1")").arg(text);
}

} // namespace

class TestChannel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { m_standIns.setAvailable(1000); }
    void dataLen_data();
    void dataLen();
    void invalidArguments();
    void message_data();
    void message();
    void create_data();
    void create();
    void isMemoryAllow_data();
    void isMemoryAllow();
    void lifeCycle_data();
    void lifeCycle();

private:
    StandIns m_standIns; // create requests run "free -m"
};

void TestChannel::dataLen_data()
{
    QTest::addColumn<int>("len");
    QTest::addColumn<QByteArray>("bytes"); // one byte beyond the field shows a write past it

    QTest::newRow("300") << 300 << QByteArray::fromHex("2c010000aa");
    QTest::newRow("INT_MAX") << INT_MAX << QByteArray::fromHex("ffffff7faa");
    QTest::newRow("INT_MIN") << INT_MIN << QByteArray::fromHex("00000080aa");
    QTest::newRow("zero leaves the buffer") << 0 << QByteArray::fromHex("aaaaaaaaaa");
}

void TestChannel::dataLen()
{
    QFETCH(int, len);
    QFETCH(QByteArray, bytes);

    H5redir redir;
    LogCapture log;
    QByteArray buffer(5, '\xaa');
    auto* field = reinterpret_cast<unsigned char*>(buffer.data());
    redir.SetDataLen(field, len);
    QCOMPARE(buffer, bytes);
    QCOMPARE(h5Lines(log),
        len ? QStringList() : list({ "D H5 SetDataLen SetDataLen Invalid parameter" }));
    unsigned int read = 0;
    redir.GetDataLen(field, read);
    QCOMPARE(read, len ? uint(len) : 0xaaaaaaaau);
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
    // The closing brace lies beyond the byte count: what is left is no JSON object.
    QByteArray cut(R"({"commandId":4,"id":3,"data":"T"})");
    QCOMPARE(redir.parseSpiceData(cut.data(), uint(cut.size() - 1)), 0);
    QCOMPARE(h5Lines(log),
        list({ "D H5 SetDataLen SetDataLen Invalid parameter",
            "D H5 GetDataLen GetDataLen Invalid parameter",
            "D H5 parseSpiceData parseSpiceData Invalid parameter",
            "D H5 HandleServerMsg HandleServerMsg Invalid parameter",
            "D H5 SendMsgToZorv SendMsgToZorv Invalid parameter" })
            << header(cut));
    QCOMPARE(recorder.events, QStringList());
}

void TestChannel::message_data()
{
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("log"); // every line, of any origin

    const QStringList none;
    int rows = 0;
    const auto row = [&](const QByteArray& msg, const QStringList& events, const QStringList& log) {
        const QByteArray name = msg.left(64).toPercentEncoding(R"( {}[]":,-)");
        QTest::addRow("%d %s", ++rows, name.constData()) << msg << events << log;
    };
    const auto dropped = [&](const QByteArray& msg) { row(msg, none, { header(msg) }); };

    // The envelope: commandId is checked before id, id before its value.
    row(R"({"commandId":-1,"id":3})", none, list({ "C H5 HandleServerMsg invalid commandid" }));
    row(R"({"commandId":-1})", none, list({ "C H5 HandleServerMsg invalid commandid" }));
    row(R"({"commandId":2,"data":"x"})", none,
        list({ "C H5 HandleServerMsg can not find id from json" }));
    row(R"({"commandId":2,"id":-1,"data":"x"})", none,
        { read(-1, 2), "C H5 HandleServerMsg invalid tabid" });
    row(R"({"id":3})", none, { read(3, 0), unknown(R"({"id":3})") });
    row(R"({"commandId":-2,"id":3})", none, { read(3, -2), unknown(R"({"commandId":-2,"id":3})") });

    // Each command, on tab 3 placed at (10, 20), 160 x 90 and visible.
    row(R"({"commandId":4,"id":3,"data":"A b"})", list({ "h5UpdateTitle(3,A b)" }),
        { read(3, 4), title(QStringLiteral("A b")) });
    const char cut[] = "{\"commandId\":4,\"id\":3,\"data\":\"T\"}\0{\"commandId\":4}";
    row(QByteArray(cut, sizeof cut - 1), list({ "h5UpdateTitle(3,T)" }),
        { read(3, 4), title(QStringLiteral("T")) }); // the text ends at a zero byte
    row(R"({"commandId":8,"id":3,"data":false})", list({ "h5SetPlayerVisibility(3,false)" }),
        { read(3, 8), "D H5 HandleServerMsg read visible from Json : false" });
    row(R"({"commandId":22,"id":3,"left":1,"top":2,"width":3,"height":4})",
        list({ "h5playerWindowPos(3,1,2,3,4)" }),
        { read(3, 22), "D H5 HandleServerMsg read pos from Json : 1 2 3 4" });
    row(R"({"commandId":22,"id":3,"left":1,"top":2,"width":0,"height":4})", none,
        { read(3, 22), "D H5 HandleServerMsg read pos from Json : 1 2 0 4" });
    row(R"({"commandId":22,"id":3,"left":1,"top":2,"width":3,"height":0})", none,
        { read(3, 22), "D H5 HandleServerMsg read pos from Json : 1 2 3 0" });
    row(R"({"commandId":26,"id":3})", list({ "h5DestroyPlayer(3)", "h5SetRedirectState(false)" }),
        { read(3, 26), "D H5 DelBRDataInfoById Del the br info ,tabid : 3" });
    row(R"({"commandId":26,"id":8})", none, { read(8, 26) }); // tab 3 is left
    row(R"({"commandId":28,"id":0})", list({ "h5DestroyPlayer(3)", "h5SetRedirectState(false)" }),
        { read(0, 28) });

    // Proxy data frames, and text that is no JSON object and so reads as one.
    row(frame(35, 1, 1, "A").left(11), none, none);
    row(frame(35, 1, 1), none, none);
    row(frame(35, 1, 1, "A"), list({ "signalWriteDataToSocket(1,A)" }),
        { header(frame(35, 1, 1)) });
    row(frame(35, 4, 3, "xyzEXTRA"), list({ "signalWriteDataToSocket(4,xyz)" }),
        { header(frame(35, 4, 3)) });
    for (qint32 length : { 2, 4, INT_MAX }) {
        const QByteArray msg = frame(35, 4, length, QByteArray(length == 2 ? 1 : 3, 'a'));
        const QString beyond = QStringLiteral(
            "C H5 HandleServerMsg proxy data len beyond message, drop frame: %1 present: %2");
        row(msg, none, { header(msg), beyond.arg(length).arg(msg.size() - 12) });
    }
    for (qint32 length : { 0, -1, INT_MIN })
        dropped(frame(35, 4, length, "abc"));
    for (qint32 id : { 0, -1, INT_MIN })
        dropped(frame(35, id, 3, "abc"));
    dropped(frame(34, 4, 3, "abc"));
    dropped("[1,2,3,4,5,6,7]");
    // Text the JSON parser refuses is dropped like any other frame; what it accepts is its own
    // business (repeated keys, a byte order mark, lone surrogates).
    for (const QByteArray& msg : QByteArrayList { R"({"commandId":4,"id":3,"data":"T"} x)",
             "{\"commandId\":4,\"id\":3,\"data\":\"T\xff\xfe\"}", R"("a JSON string")",
             QByteArray(100000, '[') + QByteArray(100000, ']'),
             R"({"commandId":4,"id":3,"data":")" + QByteArray(16 << 20, 'x') })
        dropped(msg);
    row(R"({"commandId":4,"id":-1.0,"data":"T"})", none,
        { read(-1, 4), "C H5 HandleServerMsg invalid tabid" });

    // A member of another JSON type than its own reads as 0, false, "" or [].
    const QString region = QStringLiteral("D H5 ClipWindow final videoRgn: QRegion(%1)");
    const struct
    {
        const char* msg; // @ stands for the member's value
        const char* own; // the value of its own type, left out
        QStringList events;
        QStringList log;
    } members[] = {
        { R"({"commandId":4,"id":3,"data":@})", "\"7\"", list({ "h5UpdateTitle(3,)" }),
            { read(3, 4), title(QString()) } },
        { R"({"commandId":8,"id":3,"data":@})", "true", list({ "h5SetPlayerVisibility(3,false)" }),
            { read(3, 8), "D H5 HandleServerMsg read visible from Json : false" } },
        { R"({"commandId":22,"id":3,"left":@,"top":20,"width":160,"height":90})", "7",
            list({ "h5playerWindowPos(3,0,20,160,90)" }),
            { read(3, 22), "D H5 HandleServerMsg read pos from Json : 0 20 160 90" } },
        { R"({"commandId":24,"id":3,"data":@})", "[7]", list({ "h5SetPlayerVisibility(3,true)" }),
            { read(3, 24), region.arg(QLatin1String("0,0 160x90")) } },
        { R"({"commandId":24,"id":3,"data":[{"left":@,"top":20,"width":80,"height":90}]})", "7",
            list({ "h5SetPlayerVisibility(3,true)" }),
            { read(3, 24), region.arg(QLatin1String("70,0 90x90")) } },
        { R"({"commandId":2,"id":@,"data":"u"})", "7", list({ "h5CreateNewPlayer(0,0,0,0,0,u)" }),
            { read(0, 2), R"(D H5 HandleServerMsg read url from Json : "u")",
                "C H5 IsMemoryAllow IsMemoryAllow avail memory: 1000",
                "C H5 IsMemoryAllow IsMemoryAllow avail swap: 0",
                "C H5 IsMemoryAllow IsMemoryAllow total avail: 1000" } },
    };
    for (const auto& member : members) {
        for (const char* value : { "null", "true", "7", "2.5", "\"7\"", "[7]", "{\"v\":7}" }) {
            if (qstrcmp(value, member.own) != 0)
                row(QByteArray(member.msg).replace('@', value), member.events, member.log);
        }
    }
    for (const char* value : { "null", "true", "2.5", "\"4\"", "[4]", "{}" }) {
        const QByteArray msg = R"({"commandId":)" + QByteArray(value) + R"(,"id":3})";
        row(msg, none, { read(3, 0), unknown(msg) });
    }
}

void TestChannel::message()
{
    QFETCH(QByteArray, msg);
    QFETCH(QStringList, events);
    QFETCH(QStringList, log);

    H5redir redir;
    QQuickWindow zorv;
    QQuickWindow player;
    redir.SetZorvWindow(&zorv);
    feed(redir, R"({"commandId":2,"id":3,"data":"u"})");
    redir.SaveWindowInBRData(3, &player); // directly: a creation result would start the monitor
    redir.SavePosInBRData(3, 10, 20, 160, 90);
    redir.SaveVisibleInBRData(3, true);
    Recorder recorder(&redir);
    LogCapture capture;

    QCOMPARE(feed(redir, msg), 0);
    QCOMPARE(recorder.events, events);
    QCOMPARE(h5Lines(capture, QString()), log);
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
    const auto created = [](const QString& url) {
        return QStringList { QStringLiteral("h5CreateNewPlayer(7,0,0,0,0,%1)").arg(url) };
    };
    const QStringList refused
        = list({ R"(messageToSpice({"commandId":3,"data":false,"id":7},113))" });
    const QStringList destroyed = list({ "h5DestroyPlayer(7)" });
    const QString memory = QStringLiteral("C H5 HandleServerMsg memory not allow");
    const QString engine = QStringLiteral(
        "C H5 HandleServerMsg HandleServerMsg No WebEngine module,so not allow this Redirect");

    QTest::newRow("2-class, 150") << true << false << qint64(150) << light << created(light)
                                  << QString();
    QTest::newRow("2-CLASS, 150") << true << false << qint64(150) << heavy << refused << memory;
    QTest::newRow("older replaced")
        << true << true << qint64(400) << url << destroyed + created(url) << QString();
    QTest::newRow("older gone, refused")
        << true << true << qint64(399) << url << destroyed + refused << memory;
    QTest::newRow("no engine, older kept")
        << false << true << qint64(1000) << url << refused << engine;
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
    redir.SetWebEngine(engine);
    m_standIns.setAvailable(available);
    m_standIns.clearCalls();
    recorder.events.clear();
    LogCapture log;

    feed(redir, QStringLiteral(R"({"commandId":2,"id":7,"data":"%1"})").arg(url).toUtf8());
    QCOMPARE(recorder.events, events);
    QCOMPARE(log.texts(QtCriticalMsg).filter(QStringLiteral("HandleServerMsg")),
        critical.isEmpty() ? QStringList() : QStringList { critical.mid(2) });
    // The memory check runs once, and only when the engine could take the player.
    QCOMPARE(m_standIns.calls(QStringLiteral("free")), engine ? list({ "-m" }) : QStringList());
    const bool registered = critical.isEmpty() || (older && !engine);
    QCOMPARE(redir.IsNoBRData(), !registered);
}

void TestChannel::isMemoryAllow_data()
{
    QTest::addColumn<QByteArray>("output"); // what free prints; null: there is no free
    QTest::addColumn<bool>("low");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<QStringList>("log");

    const auto output = [](const QByteArray& memory, const QByteArray& swap) -> QByteArray {
        return "      total    used    free  shared  buff/cache   available\n" + memory + '\n'
            + swap + '\n';
    };
    const auto memory = [](qint64 available) -> QByteArray {
        return "Mem:   15925    3011    9003     110        3911   "
            + QByteArray::number(available);
    };
    const auto swap = [](qint64 free) -> QByteArray {
        return "Swap:    975     100   " + QByteArray::number(free);
    };
    const auto line = [](const char* what, qint64 value) {
        return QStringLiteral("C H5 IsMemoryAllow IsMemoryAllow %1 %2")
            .arg(QLatin1String(what))
            .arg(value);
    };
    const auto lines = [&](qint64 available, qint64 free) {
        return QStringList({ line("avail memory:", available), line("avail swap:", free),
            line("total avail:", available + free) });
    };

    // The normal threshold, 400, is met and missed by create requests.
    QTest::newRow("150, 2-class") << output(memory(150), swap(0)) << true << true << lines(150, 0);
    QTest::newRow("149, 2-class") << output(memory(149), swap(0)) << true << false << lines(149, 0);
    QTest::newRow("swap counts") << output(memory(100), swap(300)) << false << true
                                 << lines(100, 300);

    QTest::newRow("6-field memory line")
        << output("Mem:  15925  3011  9003  110  3911", swap(350)) << true << true
        << QStringList({ line("avail swap:", 350), line("total avail:", 350) });
    QTest::newRow("3-field swap line")
        << output(memory(399), "Swap:  975  100") << false << false
        << QStringList({ line("avail memory:", 399), line("total avail:", 399) });
    QTest::newRow("no line feeds")
        << QByteArray("header\nMem: 1 2 3 4 5 400") << false << true
        << QStringList({ line("avail memory:", 400), line("total avail:", 400) });
    // The empty first field moves every column one place on: index 6 is buff/cache.
    QTest::newRow("leading space")
        << output(' ' + memory(100), swap(0)) << false << true << lines(3911, 0);
    QTest::newRow("tab is no separator")
        << output("Mem: 1 2 3 4 5\t400", swap(0)) << false << false
        << QStringList({ line("avail swap:", 0), line("total avail:", 0) });
    QTest::newRow("text ends at a zero byte")
        << output(QByteArray("Mem: 1 2 3 4 5\0 400", 20), swap(0)) << false << false
        << QStringList({ line("avail swap:", 0), line("total avail:", 0) });
    QTest::newRow("empty output") << QByteArray("") << true << false
                                  << QStringList { line("total avail:", 0) };
    QTest::newRow("no free") << QByteArray() << true << false
                             << QStringList { line("total avail:", 0) };
}

void TestChannel::isMemoryAllow()
{
    QFETCH(QByteArray, output);
    QFETCH(bool, low);
    QFETCH(bool, allowed);
    QFETCH(QStringList, log);

    m_standIns.setFreeOutput(output);
    m_standIns.clearCalls();
    const QByteArray path = qgetenv("PATH");
    QTemporaryDir empty;
    if (output.isNull())
        qputenv("PATH", QFile::encodeName(empty.path()));
    H5redir redir;
    LogCapture capture;
    const bool result = redir.IsMemoryAllow(low);
    qputenv("PATH", path);
    QCOMPARE(result, allowed);
    QCOMPARE(h5Lines(capture), log);
    QCOMPARE(
        m_standIns.calls(QStringLiteral("free")), output.isNull() ? QStringList() : list({ "-m" }));
}

void TestChannel::lifeCycle_data()
{
    QTest::addColumn<QByteArrayList>("players");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QStringList>("timeline");

    const char* connected = "I H5 SetH5ChannelState Br channel connected ..";
    const char* lost = "I H5 SetH5ChannelState Br channel disconnected, do release all players";
    const char* empty = "D H5 DelAllBRData m_listBRData is null";
    const char* start = "I H5 ~H5redir start release";
    const char* end = "I H5 ~H5redir end release";
    const QByteArrayList two { R"({"commandId":2,"id":9,"data":"u9"})",
        R"({"commandId":2,"id":8,"data":"u8"})" };

    // No proxy policy goes out before the server asked for the local proxy.
    QTest::newRow("connected") << two << "connect" << list({ connected });
    QTest::newRow("lost, none") << QByteArrayList() << "disconnect"
                                << list({ lost, empty, "h5SetRedirectState(false)" });
    QTest::newRow("lost, two") << two << "disconnect"
                               << list({ lost, "h5DestroyPlayer(9)", "h5DestroyPlayer(8)",
                                      "h5SetRedirectState(false)" });
    // Redirection is not reported as ended on release: the host is the one ending it.
    QTest::newRow("release, none") << QByteArrayList() << "delete" << list({ start, empty, end });
    QTest::newRow("release, two") << two << "delete"
                                  << list({ start, "h5DestroyPlayer(9)", "h5DestroyPlayer(8)",
                                         end });
}

void TestChannel::lifeCycle()
{
    QFETCH(QByteArrayList, players);
    QFETCH(QString, action);
    QFETCH(QStringList, timeline);

    auto* redir = new H5redir;
    for (const QByteArray& create : players)
        feed(*redir, create);
    LogCapture log;
    Recorder recorder(redir, &log);
    if (action == QLatin1String("connect"))
        redir->SetH5ChannelState(true);
    else if (action == QLatin1String("disconnect"))
        redir->SetH5ChannelState(false);
    else
        delete std::exchange(redir, nullptr);
    QCOMPARE(recorder.timeline(), timeline);
    if (redir) {
        QCOMPARE(redir->IsNoBRData(), action == QLatin1String("disconnect") || players.isEmpty());
        delete redir;
    }
}

QTEST_MAIN(TestChannel)

#include "tst_channel.moc"
