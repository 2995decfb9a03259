#include "channelframe.h"

#include <QtTest>

// The framing that the reference host and the agent simulator share on the SPICE port: frames
// split across chunks anywhere, or several in one chunk, come out whole and in order, and
// malformed ones come out as errors without losing step.
class tst_ChannelFrame : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void encode();
    void decode_data();
    void decode();
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
    QCOMPARE(bytes.mid(8), QByteArray(300, 'x'));
}

void tst_ChannelFrame::decode_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("broken");

    const QByteArray ok = frame(113, "ok");
    QTest::newRow("one frame") << ok << QByteArray("113:ok") << false;
    QTest::newRow("empty payload") << frame(113, QByteArray()) << QByteArray("113:") << false;
    QTest::newRow("incomplete frame waits") << ok.left(7) << QByteArray() << false;
    QTest::newRow("zero length skipped")
        << QByteArray::fromHex("00000000") + ok << QByteArray("error 113:ok") << false;
    QTest::newRow("length 3 skipped")
        << QByteArray::fromHex("03000000aabbcc") + ok << QByteArray("error 113:ok") << false;
    QTest::newRow("length over the limit")
        << ok + QByteArray::fromHex("0100000471000000") + ok << QByteArray("113:ok error") << true;
    QTest::newRow("mixed") << frame(113, "first") + QByteArray::fromHex("01000000ff")
            + frame(114, "second")
                           << QByteArray("113:first error 114:second") << false;
}

void tst_ChannelFrame::decode()
{
    QFETCH(QByteArray, stream);
    QFETCH(QByteArray, expected);
    QFETCH(bool, broken);

    // Whole, and again after a reset, which forgets whatever the stream left behind.
    FrameCodec whole = FrameCodec::littleEndian();
    for (int round = 0; round < 2; ++round) {
        QCOMPARE(summary(whole.decode(stream)), expected);
        QCOMPARE(whole.isBroken(), broken);
        whole.reset();
    }

    // The same stream in three chunks, cut at every pair of points (empty chunks included): after
    // a broken length, nothing in a later chunk comes out either.
    for (int a = 0; a <= stream.size(); ++a) {
        for (int b = a; b <= stream.size(); ++b) {
            FrameCodec codec = FrameCodec::littleEndian();
            QVector<Frame> frames = codec.decode(stream.left(a));
            frames += codec.decode(stream.mid(a, b - a));
            frames += codec.decode(stream.mid(b));
            const QByteArray got = summary(frames);
            if (got != expected || codec.isBroken() != broken)
                QFAIL(qPrintable(QStringLiteral("cut at %1 and %2: %3")
                                     .arg(a)
                                     .arg(b)
                                     .arg(QString::fromLatin1(got))));
        }
    }
}

QTEST_GUILESS_MAIN(tst_ChannelFrame)
#include "tst_channelframe.moc"
