#include "channelframe.h"

#include <QtEndian>

#include <cstring>

namespace {

QString rejected(const QString& reason) { return QStringLiteral("malformed frame: ") + reason; }

} // namespace

FrameCodec::FrameCodec(ReadLength readLength, WriteLength writeLength)
    : m_readLength(std::move(readLength))
    , m_writeLength(std::move(writeLength))
{
}

FrameCodec FrameCodec::littleEndian()
{
    return FrameCodec([](const uchar* field) { return qFromLittleEndian<quint32>(field); },
        [](uchar* field, quint32 length) { qToLittleEndian(length, field); });
}

QByteArray FrameCodec::encode(quint32 type, const QByteArray& payload) const
{
    QByteArray frame(2 * ChannelFrame::FieldSize + payload.size(), Qt::Uninitialized);
    auto* fields = reinterpret_cast<uchar*>(frame.data());
    m_writeLength(fields, quint32(ChannelFrame::FieldSize + payload.size()));
    qToLittleEndian(type, fields + ChannelFrame::FieldSize);
    std::memcpy(fields + 2 * ChannelFrame::FieldSize, payload.constData(), size_t(payload.size()));
    return frame;
}

QVector<Frame> FrameCodec::decode(const QByteArray& bytes)
{
    QVector<Frame> frames;
    decode(bytes.constData(), bytes.size(), [&frames](const FrameView& view) {
        frames.append({ view.type, QByteArray(view.payload, view.size), view.error });
    });
    return frames;
}

void FrameCodec::decode(const char* chunk, int size, const FrameSink& sink)
{
    if (m_broken)
        return;
    if (!m_buffer.isEmpty()) {
        // Complete the frame begun in an earlier chunk: only its own bytes are copied.
        const auto gather = [&](int upTo) {
            const int take = qBound(0, upTo - m_buffer.size(), size);
            m_buffer.append(chunk, take);
            chunk += take;
            size -= take;
            return m_buffer.size() >= upTo;
        };
        if (!gather(ChannelFrame::FieldSize))
            return;
        const quint32 length = m_readLength(reinterpret_cast<const uchar*>(m_buffer.constData()));
        if (!checkLength(length, sink) || !gather(ChannelFrame::FieldSize + int(length)))
            return;
        takeFrame(m_buffer.constData(), length, sink);
        m_buffer.clear();
    }
    const int used = takeWhole(chunk, size, sink);
    if (!m_broken)
        m_buffer.append(chunk + used, size - used);
}

int FrameCodec::takeWhole(const char* data, int size, const FrameSink& sink)
{
    int at = 0;
    while (size - at >= ChannelFrame::FieldSize) {
        const quint32 length = m_readLength(reinterpret_cast<const uchar*>(data + at));
        if (!checkLength(length, sink))
            return size;
        if (quint32(size - at - ChannelFrame::FieldSize) < length)
            break;
        takeFrame(data + at, length, sink);
        at += ChannelFrame::FieldSize + int(length);
    }
    return at;
}

void FrameCodec::takeFrame(const char* frame, quint32 length, const FrameSink& sink) const
{
    FrameView view;
    if (length < quint32(ChannelFrame::FieldSize)) {
        view.error = rejected(
            QStringLiteral("length %1 leaves no room for the type, skipped").arg(length));
    } else {
        view.type = qFromLittleEndian<quint32>(frame + ChannelFrame::FieldSize);
        view.payload = frame + 2 * ChannelFrame::FieldSize;
        view.size = int(length) - ChannelFrame::FieldSize;
    }
    sink(view);
}

bool FrameCodec::checkLength(quint32 length, const FrameSink& sink)
{
    if (length <= ChannelFrame::MaxLength)
        return true;
    m_broken = true;
    m_buffer.clear();
    FrameView view;
    view.error = rejected(QStringLiteral("length %1 over the limit of %2, stream dropped")
                              .arg(length)
                              .arg(ChannelFrame::MaxLength));
    sink(view);
    return false;
}

void FrameCodec::reset()
{
    m_buffer.clear();
    m_broken = false;
}
