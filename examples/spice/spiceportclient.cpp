// spice-client.h first: GLib's headers use "signals" as a name, which Qt's keywords would take.
#include <spice-client.h>

#include "spiceportclient.h"

#include <h5redir/h5redir.h>

#include <QCoreApplication>
#include <QPointer>

#include <memory>
#include <utility>

namespace {

// A server that accepted us has sent its channel list within this time; no port of ours by then
// means there is none.
constexpr int portWaitMs = 3000;

// The channel's length fields are written and read by the library's own operations.
FrameCodec libraryCodec(H5redir* redir)
{
    return FrameCodec(
        [redir](const uchar* field) {
            unsigned int length = 0;
            redir->GetDataLen(const_cast<uchar*>(field), length);
            return quint32(length);
        },
        [redir](uchar* field, quint32 length) { redir->SetDataLen(field, int(length)); });
}

QString describe(SpiceChannel* channel, int event)
{
    const GError* error = spice_channel_get_error(channel);
    const QString detail
        = error ? QStringLiteral(": ") + QString::fromUtf8(error->message) : QString();
    switch (event) {
    case SPICE_CHANNEL_CLOSED:
        return QStringLiteral("the server closed the session");
    case SPICE_CHANNEL_ERROR_CONNECT:
        return QStringLiteral("cannot connect") + detail;
    case SPICE_CHANNEL_ERROR_IO:
        return QStringLiteral("connection lost") + detail;
    default:
        return QStringLiteral("session refused (SPICE event %1)").arg(event) + detail;
    }
}

// Disconnecting a channel from inside one of its own signals is not safe: do it from the loop.
void disconnectLater(SpiceChannel* channel)
{
    g_object_ref(channel);
    QTimer::singleShot(0, QCoreApplication::instance(), [channel] {
        spice_channel_disconnect(channel, SPICE_CHANNEL_NONE);
        g_object_unref(channel);
    });
}

} // namespace

// A frame on its way: borrowed by the channel until the write completes, when the library hears
// how much is still unsent. The client may be gone by then, or its port opened anew.
struct SpicePortClient::PendingWrite
{
    QPointer<SpicePortClient> client;
    quint64 opening;
    QByteArray frame;
    qint64 size; // of the library's message, as the library counts it
};

SpicePortClient::SpicePortClient(
    H5redir* redir, const QString& uri, const QByteArray& portName, QObject* parent)
    : QObject(parent)
    , m_redir(redir)
    , m_uri(uri.contains(QLatin1String("://")) ? uri : QStringLiteral("spice://") + uri)
    , m_portName(portName)
    , m_codec(libraryCodec(redir))
{
    m_portWait.setSingleShot(true);
    m_portWait.setInterval(portWaitMs);
    connect(&m_portWait, &QTimer::timeout, this, [this] { end(QString()); });
    connect(redir, &H5redir::messageToSpice, this,
        [this](const QByteArray& msg, uint type) { send(type, msg); });
}

SpicePortClient::~SpicePortClient()
{
    // Going away is no channel loss to report: the owner is being destroyed too.
    m_portOpen = false;
    close();
}

// spice-client-glib runs on GLib's default main context. Qt on Linux drives its event loop with
// that same context (its GLib event dispatcher), so the session's sources run under the Qt
// application as they are: no thread, no loop of our own.
void SpicePortClient::open()
{
    close();
    m_otherPorts.clear();
    m_portFound = false;
    m_secondPortSeen = false;
    m_session = spice_session_new();
    g_object_set(m_session, "uri", qUtf8Printable(m_uri), nullptr);
    g_signal_connect(m_session, "channel-new", G_CALLBACK(onChannelNew), this);
    // Before connecting: the main channel is announced from inside spice_session_connect().
    Q_EMIT sessionStarted(m_session);
    if (!spice_session_connect(m_session))
        end(QStringLiteral("cannot start a session for %1").arg(m_uri));
}

void SpicePortClient::close()
{
    m_portWait.stop();
    m_port = nullptr;
    setPortOpen(false);
    if (!m_session)
        return;
    SpiceSession* session = std::exchange(m_session, nullptr);
    // Our handlers go first, so tearing the session down reports nothing to a half-gone owner.
    GList* channels = spice_session_get_channels(session);
    for (GList* it = channels; it; it = it->next)
        g_signal_handlers_disconnect_by_data(it->data, this);
    g_list_free(channels);
    g_signal_handlers_disconnect_by_data(session, this);
    // Not from inside the session's own signals, where this may be called: the loop takes our
    // reference and ends the session on its next turn.
    QTimer::singleShot(0, QCoreApplication::instance(), [session] {
        spice_session_disconnect(session);
        g_object_unref(session);
    });
}

void SpicePortClient::send(quint32 type, const QByteArray& payload)
{
    if (!m_portOpen) {
        // The library counts every message it emits as waiting until told otherwise.
        m_redir->SetChannelBacklog(m_unsent);
        return;
    }
    auto* write
        = new PendingWrite { this, m_opening, m_codec.encode(type, payload), payload.size() };
    m_unsent += write->size;
    spice_port_channel_write_async(
        m_port, write->frame.constData(), gsize(write->frame.size()), nullptr, onWritten, write);
}

void SpicePortClient::onWritten(GObject* port, GAsyncResult* result, gpointer data)
{
    const std::unique_ptr<PendingWrite> write(static_cast<PendingWrite*>(data));
    // A failed write means the channel is going; its own events report that.
    spice_port_channel_write_finish(SPICE_PORT_CHANNEL(port), result, nullptr);
    SpicePortClient* client = write->client;
    if (!client || write->opening != client->m_opening)
        return;
    // The library bounds what its tunnel reads by what is still waiting here.
    client->m_unsent -= write->size;
    client->m_redir->SetChannelBacklog(client->m_unsent);
}

void SpicePortClient::onChannelNew(SpiceSession*, SpiceChannel* channel, void* self)
{
    g_signal_connect(channel, "channel-event", G_CALLBACK(onChannelEvent), self);
    // A port's name arrives only once the port channel is connected: connect every port, keep
    // ours when its name is known, and let go of the others.
    if (SPICE_IS_PORT_CHANNEL(channel)) {
        g_signal_connect(channel, "notify::port-name", G_CALLBACK(onPortChanged), self);
        g_signal_connect(channel, "notify::port-opened", G_CALLBACK(onPortChanged), self);
        g_signal_connect(channel, "port-data", G_CALLBACK(onPortData), self);
        spice_channel_connect(channel);
    }
}

void SpicePortClient::onChannelEvent(SpiceChannel* channel, int event, void* self)
{
    auto* client = static_cast<SpicePortClient*>(self);
    if (SPICE_IS_MAIN_CHANNEL(channel)) {
        if (event == SPICE_CHANNEL_OPENED)
            client->m_portWait.start();
        else
            client->end(describe(channel, event));
    } else if (event != SPICE_CHANNEL_OPENED && channel == SPICE_CHANNEL(client->m_port)) {
        client->m_port = nullptr;
        client->setPortOpen(false);
    }
}

void SpicePortClient::onPortChanged(SpiceChannel* channel, void*, void* self)
{
    static_cast<SpicePortClient*>(self)->takePort(channel);
}

void SpicePortClient::takePort(SpiceChannel* channel)
{
    gchar* name = nullptr;
    gboolean opened = FALSE;
    g_object_get(channel, "port-name", &name, "port-opened", &opened, nullptr);
    if (!name)
        return;
    const QByteArray portName(name);
    g_free(name);
    const bool ours = portName == m_portName;
    if (ours && (!m_port || channel == SPICE_CHANNEL(m_port))) {
        m_portWait.stop();
        m_portFound = true;
        m_port = SPICE_PORT_CHANNEL(channel);
        setPortOpen(opened);
        return;
    }
    if (!ours) {
        m_otherPorts.append(QString::fromUtf8(portName));
    } else if (!m_secondPortSeen) {
        // Frames and replies stay on the port that spoke first.
        m_secondPortSeen = true;
        Q_EMIT problem(QStringLiteral("the server shows a second port named %1: it is ignored, "
                                      "the first one carries the channel")
                           .arg(QString::fromUtf8(portName)));
    }
    g_signal_handlers_disconnect_by_data(channel, this);
    disconnectLater(channel);
}

void SpicePortClient::onPortData(SpicePortChannel* port, void* data, int size, void* self)
{
    auto* client = static_cast<SpicePortClient*>(self);
    if (port != client->m_port || !client->m_portOpen)
        return;
    client->m_codec.decode(static_cast<const char*>(data), size,
        [client](const FrameView& frame) { client->onFrame(frame); });
    if (client->m_codec.isBroken())
        client->end(QStringLiteral("the port's stream is out of step"));
}

void SpicePortClient::onFrame(const FrameView& frame)
{
    if (!frame.error.isEmpty()) {
        Q_EMIT problem(frame.error);
        return;
    }
    switch (frame.type) {
    case ChannelFrame::Library:
        // Straight from the channel's buffer: parseSpiceData only reads the bytes.
        m_redir->parseSpiceData(const_cast<char*>(frame.payload), uint(frame.size));
        break;
    case ChannelFrame::ProxyPolicy:
        Q_EMIT proxyPolicyReceived(QByteArray(frame.payload, frame.size));
        break;
    default:
        Q_EMIT problem(QStringLiteral("unknown frame type %1 (%2 bytes), skipped")
                           .arg(frame.type)
                           .arg(frame.size));
    }
}

void SpicePortClient::setPortOpen(bool open)
{
    if (open == m_portOpen)
        return;
    m_portOpen = open;
    m_codec.reset();
    // Writes still in flight belong to the port that went: nothing of them is waiting any more.
    ++m_opening;
    m_unsent = 0;
    m_redir->SetChannelBacklog(0);
    Q_EMIT portOpenChanged(open);
    // The library leaves its loopback proxy running when the channel goes; its local clients
    // would then wait on connections whose far end is gone. Closing it ends them at once, and
    // the server's next proxy policy starts it again.
    if (!open)
        m_redir->CloseSocketServer();
    m_redir->SetH5ChannelState(open);
}

void SpicePortClient::end(const QString& reason)
{
    if (!m_session)
        return;
    // A server without our port is worth saying so, whatever else went wrong afterwards.
    QString why = reason;
    if (!m_portFound && (reason.isEmpty() || !m_otherPorts.isEmpty())) {
        why = QStringLiteral("the server has no port named %1").arg(QString::fromUtf8(m_portName));
        if (!m_otherPorts.isEmpty())
            why += QStringLiteral(" (its ports: %1)").arg(m_otherPorts.join(QStringLiteral(", ")));
    }
    close();
    Q_EMIT sessionEnded(why);
}
