#ifndef SPICEPORTCLIENT_H
#define SPICEPORTCLIENT_H

#include "channelframe.h"

#include <QObject>
#include <QStringList>
#include <QTimer>

class H5redir;
typedef struct _SpiceSession SpiceSession;
typedef struct _SpiceChannel SpiceChannel;
typedef struct _SpicePortChannel SpicePortChannel;
typedef struct _GObject GObject;
typedef struct _GAsyncResult GAsyncResult;
// Carried by sessionStarted() as it is: Qt never looks into a session.
Q_DECLARE_OPAQUE_POINTER(SpiceSession*)

/*!
 * Carries H5redir over one named port channel of a SPICE session (spice-client-glib).
 *
 * Every message of the library, and the server's proxy policy, travels as one frame of
 * FrameCodec on the port's byte stream. The port opening and closing is the library's channel
 * state; each change is reported to it once. A session that ends, for whatever reason, ends
 * with sessionEnded(); connecting again is the owner's choice (open() once more).
 *
 * The session's other channels (display, inputs, ...) are left to whoever follows them from
 * sessionStarted(). A server that shows two ports of our name has the first one only.
 */
class SpicePortClient : public QObject
{
    Q_OBJECT

public:
    // uri: "spice://host:port", or "host:port". No TLS: see the documentation for a real client.
    SpicePortClient(
        H5redir* redir, const QString& uri, const QByteArray& portName, QObject* parent = nullptr);
    ~SpicePortClient() override;

    void open();
    void close();
    bool isPortOpen() const { return m_portOpen; }
    void send(quint32 type, const QByteArray& payload);

Q_SIGNALS:
    // A new session, before it connects: connect to its "channel-new" here to follow the channels
    // this class leaves alone. The session is valid until the next open() or close(); take a
    // reference (g_object_ref) to hold it longer.
    void sessionStarted(SpiceSession* session);
    void portOpenChanged(bool open);
    void proxyPolicyReceived(const QByteArray& policy);
    // The session is gone (or never came): the reason in words.
    void sessionEnded(const QString& reason);
    // A malformed frame or an unknown type: skipped, the session goes on.
    void problem(const QString& line);

private:
    struct PendingWrite;
    static void onWritten(GObject* port, GAsyncResult* result, void* write);
    static void onChannelNew(SpiceSession* session, SpiceChannel* channel, void* self);
    static void onChannelEvent(SpiceChannel* channel, int event, void* self);
    static void onPortChanged(SpiceChannel* channel, void* property, void* self);
    static void onPortData(SpicePortChannel* port, void* data, int size, void* self);

    void takePort(SpiceChannel* channel);
    void onFrame(const FrameView& frame);
    void setPortOpen(bool open);
    void end(const QString& reason);

    H5redir* const m_redir;
    const QString m_uri;
    const QByteArray m_portName;
    SpiceSession* m_session = nullptr;
    SpicePortChannel* m_port = nullptr; // ours, once its name is known
    bool m_portOpen = false;
    quint64 m_opening = 0; // counts the port's openings and closings, so old writes are told apart
    qint64 m_unsent = 0; // bytes of the library's messages written but not yet completed
    bool m_portFound = false;
    bool m_secondPortSeen = false; // said once per session
    QStringList m_otherPorts; // ports of the session that are not ours, for the reason of a failure
    FrameCodec m_codec;
    QTimer m_portWait; // how long a connected server has to show our port
};

#endif // SPICEPORTCLIENT_H
