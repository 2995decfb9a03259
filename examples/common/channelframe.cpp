#include "channelframe.h"

#include <QtEndian>

namespace {

Frame rejected(const QString& reason)
{
    return { 0, QByteArray(), QStringLiteral("malformed frame: ") + reason };
}

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
    QByteArray frame(2 * ChannelFrame::FieldSize, Qt::Uninitialized);
    auto* fields = reinterpret_cast<uchar*>(frame.data());
    m_writeLength(fields, quint32(ChannelFrame::FieldSize + payload.size()));
    qToLittleEndian(type, fields + ChannelFrame::FieldSize);
    return frame + payload;
}

QVector<Frame> FrameCodec::decode(const QByteArray& bytes)
{
    QVector<Frame> frames;
    if (m_broken)
        return frames;
    m_buffer += bytes;
    int at = 0;
    while (m_buffer.size() - at >= ChannelFrame::FieldSize) {
        const auto* fields = reinterpret_cast<const uchar*>(m_buffer.constData() + at);
        const quint32 length = m_readLength(fields);
        if (length > ChannelFrame::MaxLength) {
            m_broken = true;
            m_buffer.clear();
            frames.append(rejected(QStringLiteral("length %1 over the limit of %2, stream dropped")
                                       .arg(length)
                                       .arg(ChannelFrame::MaxLength)));
            return frames;
        }
        if (quint32(m_buffer.size() - at - ChannelFrame::FieldSize) < length)
            break;
        if (length < quint32(ChannelFrame::FieldSize)) {
            frames.append(rejected(
                QStringLiteral("length %1 leaves no room for the type, skipped").arg(length)));
        } else {
            const int payloadSize = int(length) - ChannelFrame::FieldSize;
            frames.append({ qFromLittleEndian<quint32>(fields + ChannelFrame::FieldSize),
                m_buffer.mid(at + 2 * ChannelFrame::FieldSize, payloadSize), QString() });
        }
        at += ChannelFrame::FieldSize + int(length);
    }
    m_buffer.remove(0, at);
    return frames;
}

void FrameCodec::reset()
{
    m_buffer.clear();
    m_broken = false;
}
