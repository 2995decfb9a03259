// The reference host's channel framing, as it reassembles a byte stream that arrives in pieces.
// The input is the stream, cut into pieces by lead bytes: each piece is led by its length. The
// frames must come out the same whatever the cuts, and encoding them again must give back the
// bytes they were decoded from.
#include "channelframe.h"

#include <QtEndian>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what, const QByteArray& bytes)
{
    std::fprintf(stderr, "fuzz channelframe: %s: %s\n", what, bytes.left(64).toHex().constData());
    std::abort();
}


} // namespace

// Beside Frame, where the comparison of QVector<Frame> looks for it.
static bool operator==(const Frame& a, const Frame& b)
{
    return a.type == b.type && a.payload == b.payload && a.error == b.error;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QByteArray stream;
    FrameCodec pieces = FrameCodec::littleEndian();
    QVector<Frame> fromPieces;
    for (size_t pos = 0; pos < size;) {
        const size_t wanted = data[pos++];
        const size_t length = qMin(wanted, size - pos);
        const QByteArray piece(reinterpret_cast<const char*>(data) + pos, int(length));
        pos += length;
        stream += piece;
        fromPieces += pieces.decode(piece);
    }
    FrameCodec whole = FrameCodec::littleEndian();
    const QVector<Frame> fromWhole = whole.decode(stream);
    if (fromPieces != fromWhole || pieces.isBroken() != whole.isBroken())
        fail("frames depend on how the stream was cut", stream);

    // Every frame, good or skipped, took its place in the stream in order.
    QByteArray again;
    for (const Frame& frame : fromWhole) {
        if (frame.error.isEmpty()) {
            again += whole.encode(frame.type, frame.payload);
            continue;
        }
        if (whole.isBroken())
            break;
        // A skipped frame is its length field and as many bytes as that says.
        const quint32 length = qFromLittleEndian<quint32>(stream.constData() + again.size());
        again += stream.mid(again.size(), ChannelFrame::FieldSize + int(length));
    }
    if (!stream.startsWith(again))
        fail("frames encode to other bytes than they came from", stream);
    return 0;
}
