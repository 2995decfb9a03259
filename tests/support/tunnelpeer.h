#ifndef TUNNELPEER_H
#define TUNNELPEER_H

#include <QByteArray>
#include <QCryptographicHash>
#include <QHash>
#include <QObject>
#include <QStringList>

#include <memory>
#include <vector>

class H5redir;

/*!
 * The server side of the tunnel, as a test plays it. Takes every message the redirector sends and
 * follows each stream from its 32 through its frames 34 to its 36; optionally turns every frame
 * 34 straight back into a frame 35 for the same proxy id. Whatever breaks the order of a stream,
 * or is not a tunnel message at all, is written down as a fault.
 */
class TunnelPeer : public QObject
{
    Q_OBJECT

public:
    struct Stream
    {
        int proxyId = 0;
        qint64 bytes = 0;
        // The first bytes of the stream, as many as setKeptBytes() allows.
        QByteArray head;
        // SHA-256 of the whole stream, once it has ended.
        QByteArray sha256;
        bool ended = false;
        std::unique_ptr<QCryptographicHash> hash;
    };

    explicit TunnelPeer(H5redir* redir, QObject* parent = nullptr);

    void setEcho(bool echo) { m_echo = echo; }
    void setKeptBytes(int bytes) { m_keptBytes = bytes; }

    // Every stream announced so far, in order of announcement; proxy ids repeat once the
    // system hands a descriptor number out again.
    const std::vector<Stream>& streams() const { return m_streams; }
    int announced() const { return int(m_streams.size()); }
    int ended() const { return m_ended; }
    int policies() const { return m_policies; }
    int messages() const { return m_messages; }
    qint64 bytes() const { return m_bytes; }
    QStringList faults() const { return m_faults; }

private:
    void receive(const QByteArray& msg, uint type);
    void receiveFrame(const QByteArray& msg);
    void fault(const QString& text);

    H5redir* m_redir;
    std::vector<Stream> m_streams;
    QHash<int, size_t> m_open;
    QStringList m_faults;
    qint64 m_bytes = 0;
    int m_ended = 0;
    int m_policies = 0;
    int m_messages = 0;
    int m_keptBytes = 0;
    bool m_echo = false;
};

#endif // TUNNELPEER_H
