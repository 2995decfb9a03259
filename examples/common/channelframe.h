#ifndef CHANNELFRAME_H
#define CHANNELFRAME_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include <functional>

/*!
 * The channel framing of the reference host, which the agent simulator speaks too. On the byte
 * stream of the SPICE port every frame is
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

// A frame as the codec finds it: the payload is borrowed and valid only while the sink runs.
struct FrameView
{
    quint32 type = 0;
    const char* payload = nullptr;
    int size = 0;
    QString error; // as in Frame
};

class FrameCodec
{
public:
    using ReadLength = std::function<quint32(const uchar* field)>;
    using WriteLength = std::function<void(uchar* field, quint32 length)>;
    using FrameSink = std::function<void(const FrameView& frame)>;

    // The length field operations are given so the host can use the library's own.
    FrameCodec(ReadLength readLength, WriteLength writeLength);
    static FrameCodec littleEndian();

    // The whole frame in one allocation, ready to be written.
    QByteArray encode(quint32 type, const QByteArray& payload) const;

    /*!
     * Appends received bytes and takes out every complete frame, in stream order. A frame too
     * short to hold its type comes out with only its error set; a length over MaxLength does too,
     * and makes the stream unusable (isBroken()): the caller must drop the connection.
     */
    QVector<Frame> decode(const QByteArray& bytes);

    /*!
     * The same without copies: frames that lie whole in the chunk are handed to the sink where
     * they lie, and only a frame split across chunks is gathered in the codec's own buffer
     * first. The sink must not call decode() or reset().
     */
    void decode(const char* chunk, int size, const FrameSink& sink);

    bool isBroken() const { return m_broken; }
    void reset();

private:
    int takeWhole(const char* data, int size, const FrameSink& sink);
    void takeFrame(const char* frame, quint32 length, const FrameSink& sink) const;
    bool checkLength(quint32 length, const FrameSink& sink);

    ReadLength m_readLength;
    WriteLength m_writeLength;
    QByteArray m_buffer; // the start of a frame whose end has not arrived yet
    bool m_broken = false;
};

#endif // CHANNELFRAME_H
