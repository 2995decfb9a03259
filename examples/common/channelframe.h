#ifndef CHANNELFRAME_H
#define CHANNELFRAME_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

/*!
 * The channel framing of the reference host, which the agent simulator speaks too. On the TCP
 * stream every frame is
 *
 *   length   4 bytes, little-endian (H5redir::SetDataLen): the bytes that follow this field
 *   type     4 bytes, little-endian
 *   payload  length - 4 bytes
 *
 * The library never sees this framing: a Library frame's payload is one whole library message.
 */
namespace ChannelFrame {
enum Type : quint32 {
    Library = 113, // one message of the library, in either direction
    ProxyPolicy = 114, // agent to host: a proxy policy for H5redir::onProxyPolicy
};
constexpr int FieldSize = 4;
// No sane peer sends more in one frame; past this the stream cannot be trusted to be in step.
constexpr quint32 MaxLength = 64 * 1024 * 1024;
} // namespace ChannelFrame

struct Frame
{
    quint32 type = 0;
    QByteArray payload;
    // Set instead of type and payload for a frame that was rejected: what was wrong with it.
    QString error;
};

class FrameCodec
{
public:
    using ReadLength = std::function<quint32(const uchar* field)>;
    using WriteLength = std::function<void(uchar* field, quint32 length)>;

    // The length field operations are given so the host can use the library's own.
    FrameCodec(ReadLength readLength, WriteLength writeLength);
    static FrameCodec littleEndian();

    QByteArray encode(quint32 type, const QByteArray& payload) const;

    /*!
     * Appends received bytes and takes out every complete frame, in stream order. A frame too
     * short to hold its type comes out with only its error set; a length over MaxLength does too,
     * and makes the stream unusable (isBroken()): the caller must drop the connection.
     */
    QVector<Frame> decode(const QByteArray& bytes);
    bool isBroken() const { return m_broken; }
    void reset();

private:
    ReadLength m_readLength;
    WriteLength m_writeLength;
    QByteArray m_buffer;
    bool m_broken = false;
};

#endif // CHANNELFRAME_H
