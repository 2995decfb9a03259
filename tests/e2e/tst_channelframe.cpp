#include "channelframe.h"

#include <QtTest>

// The framing that the reference host and the agent simulator share: frames split anywhere by
// TCP come out whole and in order, and malformed ones come out as errors without losing step.
class tst_ChannelFrame : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void encode();
    void decode_data();
    void decode();
    void splitAnywhere();
    void brokenStreamStaysBroken();
};

namespace {

QByteArray frame(quint32 type, const QByteArray& payload)
{
    return FrameCodec::littleEndian().encode(type, payload);
}

// Each frame as "type:payload", a rejected one as "error", separated by spaces.
QByteArray summary(const QVector<Frame>& frames)
{
    QByteArrayList out;
    for (const Frame& f : frames)
        out << (f.error.isEmpty() ? QByteArray::number(f.type) + ':' + f.payload
                                  : QByteArray("error"));
    return out.join(' ');
}

} // namespace

void tst_ChannelFrame::encode()
{
    // 300 bytes of payload: length 304 = 0x130, then type 113 = 0x71.
    const QByteArray bytes = frame(ChannelFrame::Library, QByteArray(300, 'x'));
    QCOMPARE(bytes.left(8), QByteArray::fromHex("3001000071000000"));
    QCOMPARE(bytes.size(), 308);
}

void tst_ChannelFrame::decode_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("broken");

    const QByteArray ok = frame(113, "ok");
    QTest::newRow("one frame") << ok << QByteArray("113:ok") << false;
    QTest::newRow("two frames") << ok + frame(114, "{}") << QByteArray("113:ok 114:{}") << false;
    QTest::newRow("empty payload") << frame(113, QByteArray()) << QByteArray("113:") << false;
    QTest::newRow("incomplete frame waits") << ok.left(7) << QByteArray() << false;
    QTest::newRow("length 0 skipped")
        << QByteArray::fromHex("00000000") + ok << QByteArray("error 113:ok") << false;
    QTest::newRow("length 3 skipped")
        << QByteArray::fromHex("03000000aabbcc") + ok << QByteArray("error 113:ok") << false;
    QTest::newRow("unknown type passed on") << frame(9, "?") << QByteArray("9:?") << false;
    QTest::newRow("length over the limit")
        << ok + QByteArray::fromHex("0100000471000000") + ok << QByteArray("113:ok error") << true;
}

void tst_ChannelFrame::decode()
{
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, expected);
    QFETCH(bool, broken);

    FrameCodec codec = FrameCodec::littleEndian();
    QCOMPARE(summary(codec.decode(stream)), expected);
    QCOMPARE(codec.isBroken(), broken);
}

void tst_ChannelFrame::splitAnywhere()
{
    const QByteArray stream
        = frame(113, "first") + QByteArray::fromHex("01000000ff") + frame(114, "second");
    for (int cut = 0; cut <= stream.size(); ++cut) {
        FrameCodec codec = FrameCodec::littleEndian();
        QVector<Frame> frames = codec.decode(stream.left(cut));
        frames += codec.decode(stream.mid(cut));
        const QByteArray got = summary(frames);
        QCOMPARE(got, QByteArray("113:first error 114:second"));
    }
}

void tst_ChannelFrame::brokenStreamStaysBroken()
{
    FrameCodec codec = FrameCodec::littleEndian();
    codec.decode(QByteArray::fromHex("ffffffff"));
    QVERIFY(codec.isBroken());
    QVERIFY(codec.decode(frame(113, "late")).isEmpty());
    codec.reset();
    QCOMPARE(summary(codec.decode(frame(113, "again"))), QByteArray("113:again"));
}

QTEST_GUILESS_MAIN(tst_ChannelFrame)
#include "tst_channelframe.moc"
