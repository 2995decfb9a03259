// Malformed and hostile messages from the server side, one row each: every one has a defined
// outcome, its own log lines, and nothing else happens (no other signal, no reply).
#include <h5redir/h5redir.h>
#include "channelmessages.h"
#include "logcapture.h"
#include "placedplayer.h"
#include "redirtesting.h"
#include "standins.h"

#include <QTest>
#include <QtEndian>

#include <climits>

using namespace H5Test;

namespace {

QString header(qint32 command, qint32 proxyId, qint32 length)
{
    return QStringLiteral("D H5 HandleServerMsg command id : %1 ,proxy id: %2 ,proxy data len: %3")
        .arg(command)
        .arg(proxyId)
        .arg(length);
}

// A message that is no JSON object is read as a frame: its first twelve bytes are the header.
QString headerOf(const QByteArray& msg)
{
    return header(qFromLittleEndian<qint32>(msg.constData()),
        qFromLittleEndian<qint32>(msg.constData() + 4),
        qFromLittleEndian<qint32>(msg.constData() + 8));
}

QString read(int tabid, int command)
{
    return QStringLiteral("D H5 HandleServerMsg read info from Json, tabid: %1 , commandId: %2")
        .arg(tabid)
        .arg(command);
}

QString beyond(qint64 length, qint64 present)
{
    return QStringLiteral(
        "C H5 HandleServerMsg proxy data len beyond message, drop frame: %1 present: %2")
        .arg(length)
        .arg(present);
}

QString unknown(const QByteArray& msg)
{
    QString text = QString::fromUtf8(msg);
    text.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QStringLiteral("D H5 HandleServerMsg recv unkonw msg: \"%1\"").arg(text);
}

QByteArray nested(int depth, const QByteArray& inner)
{
    return QByteArray(depth, '[') + inner + QByteArray(depth, ']');
}

// Every JSON type once; a member of one type is tried with all the others.
enum Kind { Null, Bool, Integer, Fraction, String, Array, Object };
const QList<QPair<Kind, QByteArray>> values {
    { Null, "null" },
    { Bool, "true" },
    { Integer, "7" },
    { Fraction, "2.5" },
    { String, "\"7\"" },
    { Array, "[7]" },
    { Object, "{\"v\":7}" },
};

} // namespace

class BadInputTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void malformed_data();
    void malformed();

private:
    StandIns m_standIns;
};

void BadInputTest::malformed_data()
{
    QTest::addColumn<QByteArray>("msg");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("log");

    const QStringList none;

    // Frames cut short, or claiming more than they carry.
    const QByteArray header13 = frame(35, 1, 1, "A");
    QTest::newRow("1 byte of a frame") << header13.left(1) << none << none;
    QTest::newRow("11 bytes of a frame") << header13.left(11) << none << none;
    QTest::newRow("12-byte header alone") << header13.left(12) << none << none;
    QTest::newRow("13-byte frame")
        << header13 << list({ "signalWriteDataToSocket(1,A)" }) << QStringList { header(35, 1, 1) };
    QTest::newRow("13-byte frame claiming 2")
        << frame(35, 1, 2, "A") << none << QStringList { header(35, 1, 2), beyond(2, 1) };
    QTest::newRow("one byte short")
        << frame(35, 4, 4, "abc") << none << QStringList { header(35, 4, 4), beyond(4, 3) };
    QTest::newRow("length INT_MAX") << frame(35, 4, INT_MAX, "abc") << none
                                    << QStringList { header(35, 4, INT_MAX), beyond(INT_MAX, 3) };
    for (const qint32 length : { -1, -3, INT_MIN }) {
        QTest::addRow("length %d", length)
            << frame(35, 4, length, "abc") << none << QStringList { header(35, 4, length) };
    }
    for (const qint32 id : { 0, -1, INT_MIN }) {
        QTest::addRow("proxy id %d", id)
            << frame(35, id, 3, "abc") << none << QStringList { header(35, id, 3) };
    }

    // Text that is not one JSON object falls through to the frame reading, and is dropped there.
    const QByteArray title(R"({"commandId":4,"id":3,"data":"T"})");
    const QList<QPair<const char*, QByteArray>> notObjects {
        { "JSON cut short", title.left(title.size() - 1) },
        { "garbage after the object", title + " x" },
        { "invalid UTF-8 in a string", "{\"commandId\":4,\"id\":3,\"data\":\"T\xff\xfe\"}" },
        { "overlong UTF-8", "{\"commandId\":4,\"id\":3,\"data\":\"\xc0\xaf\"}" },
        { "UTF-8 of a surrogate", "{\"commandId\":4,\"id\":3,\"data\":\"\xed\xa0\x80\"}" },
        { "invalid UTF-8 in a key", "{\"commandId\":4,\"id\":3,\"da\xfft\":\"T\"}" },
        { "a JSON string", R"("a JSON string, not an object")" },
        { "100000 nested arrays", nested(100000, "") },
        { "2000 nested arrays in data",
            R"({"commandId":4,"id":3,"data":)" + nested(2000, "1") + '}' },
        { "16 MiB string never closed",
            R"({"commandId":4,"id":3,"data":")" + QByteArray(16 << 20, 'x') },
    };
    for (const auto& row : notObjects)
        QTest::newRow(row.first) << row.second << none << QStringList { headerOf(row.second) };
    QTest::newRow("truncated JSON of 12 bytes") << QByteArray(R"({"commandId")") << none << none;
    QTest::newRow("JSON null") << QByteArray("null") << none << none;

    // Well-formed but odd.
    const QString titleT = QStringLiteral(R"(D H5 HandleServerMsg read title from Json : "T")");
    QTest::newRow("deep nesting where a string belongs")
        << QByteArray(R"({"commandId":4,"id":3,"data":)" + nested(1000, "1") + '}')
        << list({ "h5UpdateTitle(3,)" })
        << QStringList { read(3, 4),
               QStringLiteral(R"(D H5 HandleServerMsg read title from Json : "")") };
    const QString big(16 << 20, QLatin1Char('y'));
    QTest::newRow("16 MiB title")
        << QByteArray(R"({"commandId":4,"id":3,"data":")" + big.toLatin1() + "\"}")
        << QStringList { QStringLiteral("h5UpdateTitle(3,%1)").arg(big) }
        << QStringList { read(3, 4),
               QStringLiteral(R"(D H5 HandleServerMsg read title from Json : "%1")").arg(big) };
    QTest::newRow("escaped lone surrogate")
        << QByteArray(R"({"commandId":4,"id":3,"data":"\ud800"})")
        << QStringList { QStringLiteral("h5UpdateTitle(3,") + QChar(0xd800) + QLatin1Char(')') }
        << QStringList { read(3, 4),
               QStringLiteral(R"(D H5 HandleServerMsg read title from Json : "\uD800")") };
    QTest::newRow("UTF-8 byte order mark")
        << QByteArray("\xef\xbb\xbf" + title) << list({ "h5UpdateTitle(3,T)" })
        << QStringList { read(3, 4), titleT };
    // Of repeated keys the last one counts.
    QTest::newRow("commandId twice")
        << QByteArray(R"({"commandId":26,"commandId":4,"id":3,"data":"T"})")
        << list({ "h5UpdateTitle(3,T)" }) << QStringList { read(3, 4), titleT };
    QTest::newRow("id twice, then -1")
        << QByteArray(R"({"commandId":4,"id":3,"id":-1,"data":"T"})") << none
        << QStringList { read(-1, 4), QStringLiteral("C H5 HandleServerMsg invalid tabid") };
    QTest::newRow("data twice") << QByteArray(R"({"commandId":4,"id":3,"data":"A","data":"T"})")
                                << list({ "h5UpdateTitle(3,T)" })
                                << QStringList { read(3, 4), titleT };
    for (const char* id : { "2147483648", "-2147483649", "1e300", "-1.0" }) {
        const QByteArray msg = R"({"commandId":4,"id":)" + QByteArray(id) + R"(,"data":"T"})";
        const bool minusOne = qstrcmp(id, "-1.0") == 0;
        QTest::addRow("id %s", id) << msg << (minusOne ? none : list({ "h5UpdateTitle(0,T)" }))
                                   << (minusOne ? QStringList { read(-1, 4),
                                           QStringLiteral("C H5 HandleServerMsg invalid tabid") }
                                                : QStringList { read(0, 4), titleT });
    }

    // Every member of every inbound command, with every JSON type it does not have: the member
    // reads as 0, false, "" or [] and the command goes on with that.
    struct Member
    {
        const char* name;
        QByteArray msg; // @V@ stands for the member's value
        Kind kind;
        QStringList events;
        QStringList log;
    };
    const QString clipped = QStringLiteral("D H5 ClipWindow final videoRgn: %1");
    const QStringList createLines = list({ R"(D H5 HandleServerMsg read url from Json : "")",
        "C H5 IsMemoryAllow IsMemoryAllow avail memory: 1000",
        "C H5 IsMemoryAllow IsMemoryAllow avail swap: 0",
        "C H5 IsMemoryAllow IsMemoryAllow total avail: 1000" });
    const QList<Member> members {
        { "create data", R"({"commandId":2,"id":7,"data":@V@})", String,
            list({ "h5CreateNewPlayer(7,0,0,0,0,)" }), QStringList { read(7, 2) } + createLines },
        { "title data", R"({"commandId":4,"id":3,"data":@V@})", String,
            list({ "h5UpdateTitle(3,)" }),
            QStringList {
                read(3, 4), QStringLiteral(R"(D H5 HandleServerMsg read title from Json : "")") } },
        { "visible data", R"({"commandId":8,"id":3,"data":@V@})", Bool,
            list({ "h5SetPlayerVisibility(3,false)" }),
            QStringList { read(3, 8),
                QStringLiteral("D H5 HandleServerMsg read visible from Json : false") } },
        { "position left", R"({"commandId":22,"id":3,"left":@V@,"top":20,"width":160,"height":90})",
            Integer, list({ "h5playerWindowPos(3,0,20,160,90)" }),
            QStringList { read(3, 22),
                QStringLiteral("D H5 HandleServerMsg read pos from Json : 0 20 160 90") } },
        { "position top", R"({"commandId":22,"id":3,"left":10,"top":@V@,"width":160,"height":90})",
            Integer, list({ "h5playerWindowPos(3,10,0,160,90)" }),
            QStringList { read(3, 22),
                QStringLiteral("D H5 HandleServerMsg read pos from Json : 10 0 160 90") } },
        { "position width", R"({"commandId":22,"id":3,"left":10,"top":20,"width":@V@,"height":90})",
            Integer, none,
            QStringList { read(3, 22),
                QStringLiteral("D H5 HandleServerMsg read pos from Json : 10 20 0 90") } },
        { "position height",
            R"({"commandId":22,"id":3,"left":10,"top":20,"width":160,"height":@V@})", Integer, none,
            QStringList { read(3, 22),
                QStringLiteral("D H5 HandleServerMsg read pos from Json : 10 20 160 0") } },
        // The player stands at (10, 20), 160 x 90; the rectangle would cover its left half.
        { "clip data", R"({"commandId":24,"id":3,"data":@V@})", Array,
            list({ "h5SetPlayerVisibility(3,true)" }),
            QStringList { read(3, 24), clipped.arg(QLatin1String("QRegion(0,0 160x90)")) } },
        { "clip left",
            R"({"commandId":24,"id":3,"data":[{"left":@V@,"top":20,"width":80,"height":90}]})",
            Integer, list({ "h5SetPlayerVisibility(3,true)" }),
            QStringList { read(3, 24), clipped.arg(QLatin1String("QRegion(70,0 90x90)")) } },
        { "clip top",
            R"({"commandId":24,"id":3,"data":[{"left":10,"top":@V@,"width":80,"height":90}]})",
            Integer, list({ "h5SetPlayerVisibility(3,true)" }),
            QStringList { read(3, 24),
                clipped.arg(QLatin1String("QRegion(size=2, bounds=(0,0 160x90) - [(80,0 80x70), "
                                          "(0,70 160x20)])")) } },
        { "clip width",
            R"({"commandId":24,"id":3,"data":[{"left":10,"top":20,"width":@V@,"height":90}]})",
            Integer, list({ "h5SetPlayerVisibility(3,true)" }),
            QStringList { read(3, 24), QStringLiteral("D H5 ClipWindow ignore rect"),
                clipped.arg(QLatin1String("QRegion(0,0 160x90)")) } },
        { "clip height",
            R"({"commandId":24,"id":3,"data":[{"left":10,"top":20,"width":80,"height":@V@}]})",
            Integer, list({ "h5SetPlayerVisibility(3,true)" }),
            QStringList { read(3, 24), QStringLiteral("D H5 ClipWindow ignore rect"),
                clipped.arg(QLatin1String("QRegion(0,0 160x90)")) } },
        // A tab id of another type is tab 0, which has no player here.
        { "create id", R"({"commandId":2,"id":@V@,"data":""})", Integer,
            list({ "h5CreateNewPlayer(0,0,0,0,0,)" }), QStringList { read(0, 2) } + createLines },
        { "title id", R"({"commandId":4,"id":@V@,"data":"T"})", Integer,
            list({ "h5UpdateTitle(0,T)" }), QStringList { read(0, 4), titleT } },
        { "visible id", R"({"commandId":8,"id":@V@,"data":true})", Integer,
            list({ "h5SetPlayerVisibility(0,true)" }),
            QStringList { read(0, 8),
                QStringLiteral("D H5 HandleServerMsg read visible from Json : true") } },
        { "position id", R"({"commandId":22,"id":@V@,"left":1,"top":2,"width":3,"height":4})",
            Integer, list({ "h5playerWindowPos(0,1,2,3,4)" }),
            QStringList { read(0, 22),
                QStringLiteral("D H5 HandleServerMsg read pos from Json : 1 2 3 4") } },
        { "clip id", R"({"commandId":24,"id":@V@,"data":[]})", Integer, none,
            QStringList { read(0, 24), QStringLiteral("C H5 ClipWindow get br data fail") } },
        { "destroy id", R"({"commandId":26,"id":@V@})", Integer, none,
            QStringList { read(0, 26) } },
        { "destroy all id", R"({"commandId":28,"id":@V@})", Integer,
            list({ "h5DestroyPlayer(3)", "h5SetRedirectState(false)" }),
            QStringList { read(0, 28) } },
    };
    for (const Member& member : members) {
        for (const auto& value : values) {
            if (value.first == member.kind)
                continue;
            QTest::addRow("%s %s", member.name, value.second.constData())
                << QByteArray(member.msg).replace("@V@", value.second) << member.events
                << member.log;
        }
    }
    // A command number of another type is command 0, which nobody knows.
    for (const auto& value : values) {
        if (value.first == Integer)
            continue;
        const QByteArray msg = R"({"commandId":)" + value.second + R"(,"id":3,"data":"T"})";
        QTest::addRow("commandId %s", value.second.constData())
            << msg << none << QStringList { read(3, 0), unknown(msg) };
    }
}

void BadInputTest::malformed()
{
    QFETCH(QByteArray, msg);
    QFETCH(QStringList, events);
    QFETCH(QStringList, log);

    m_standIns.setAvailable(1000);
    PlacedPlayer placed;
    H5redir& redir = placed.redir;
    feed(redir, R"({"commandId":8,"id":3,"data":true})");
    Recorder recorder(&redir);
    LogCapture capture;

    QCOMPARE(feed(redir, msg), 0);
    QCOMPARE(recorder.events, events);
    // Every line of any origin: a warning from Qt would show here too.
    QCOMPARE(h5Lines(capture, QString()), log);
}

QTEST_MAIN(BadInputTest)

#include "tst_badinput.moc"
