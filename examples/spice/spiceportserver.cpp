// spice.h first: GLib's headers use "signals" as a name, which Qt's keywords would take.
#include <glib.h>
#include <spice.h>
#include <spice/protocol.h>

#include "spiceportserver.h"

#include <cstring>

// The core interface spice-server runs on: its timers and socket watches as sources of GLib's
// default main context. Qt on Linux drives its event loop with that same context (its GLib
// event dispatcher), so they run under QCoreApplication as they are.
struct SpiceTimer
{
    SpiceTimerFunc func;
    void* opaque;
    GSource* source = nullptr;
};

struct SpiceWatch
{
    int fd;
    SpiceWatchFunc func;
    void* opaque;
    GSource* source = nullptr;
    gpointer tag = nullptr; // the fd's entry in source
};

namespace {

void dropSource(GSource*& source)
{
    if (!source)
        return;
    g_source_destroy(source);
    g_source_unref(source);
    source = nullptr;
}

gboolean timerFired(gpointer data)
{
    auto* timer = static_cast<SpiceTimer*>(data);
    // One shot; the callback may start the timer again or remove it.
    g_source_unref(std::exchange(timer->source, nullptr));
    timer->func(timer->opaque);
    return G_SOURCE_REMOVE;
}

SpiceTimer* timerAdd(SpiceTimerFunc func, void* opaque) { return new SpiceTimer { func, opaque }; }

void timerCancel(SpiceTimer* timer) { dropSource(timer->source); }

void timerStart(SpiceTimer* timer, uint32_t ms)
{
    timerCancel(timer);
    timer->source = g_timeout_source_new(ms);
    g_source_set_callback(timer->source, timerFired, timer, nullptr);
    g_source_attach(timer->source, nullptr);
}

void timerRemove(SpiceTimer* timer)
{
    timerCancel(timer);
    delete timer;
}

// A watch is one source for the life of the watch; a change of its events only modifies the fd's
// entry. The server changes them around nearly every message it writes, and destroying and
// attaching a source each time woke the main loop twice per message.
struct WatchSource
{
    GSource base;
    SpiceWatch* watch;
};

gboolean watchDispatch(GSource* source, GSourceFunc, gpointer)
{
    SpiceWatch* watch = reinterpret_cast<WatchSource*>(source)->watch;
    const GIOCondition condition = g_source_query_unix_fd(source, watch->tag);
    int events = 0;
    if (condition & (G_IO_IN | G_IO_HUP | G_IO_ERR))
        events |= SPICE_WATCH_EVENT_READ;
    if (condition & G_IO_OUT)
        events |= SPICE_WATCH_EVENT_WRITE;
    // The callback may change or remove the watch: nothing of it is touched afterwards.
    if (events)
        watch->func(watch->fd, events, watch->opaque);
    return G_SOURCE_CONTINUE;
}

GSourceFuncs watchFuncs = { nullptr, nullptr, watchDispatch, nullptr, nullptr, nullptr };

GIOCondition conditionOf(int events)
{
    int condition = 0;
    if (events & SPICE_WATCH_EVENT_READ)
        condition |= G_IO_IN | G_IO_HUP | G_IO_ERR;
    if (events & SPICE_WATCH_EVENT_WRITE)
        condition |= G_IO_OUT | G_IO_ERR;
    return GIOCondition(condition);
}

void watchUpdateMask(SpiceWatch* watch, int events)
{
    g_source_modify_unix_fd(watch->source, watch->tag, conditionOf(events));
}

SpiceWatch* watchAdd(int fd, int events, SpiceWatchFunc func, void* opaque)
{
    auto* watch = new SpiceWatch { fd, func, opaque };
    watch->source = g_source_new(&watchFuncs, sizeof(WatchSource));
    reinterpret_cast<WatchSource*>(watch->source)->watch = watch;
    watch->tag = g_source_add_unix_fd(watch->source, fd, conditionOf(events));
    g_source_attach(watch->source, nullptr);
    return watch;
}

void watchRemove(SpiceWatch* watch)
{
    dropSource(watch->source);
    delete watch;
}

void channelEvent(int, SpiceChannelEventInfo*) { }

SpiceCoreInterface glibCore = { { SPICE_INTERFACE_CORE, "GLib main context",
                                    SPICE_INTERFACE_CORE_MAJOR, SPICE_INTERFACE_CORE_MINOR },
    timerAdd, timerStart, timerCancel, timerRemove, watchAdd, watchUpdateMask, watchRemove,
    channelEvent };

} // namespace

// The char device instance and the way back from it to its owner.
struct PortDevice
{
    SpiceCharDeviceInstance instance {};
    SpicePortServer* owner;

    static SpicePortServer* ownerOf(SpiceCharDeviceInstance* instance)
    {
        return reinterpret_cast<PortDevice*>(instance)->owner;
    }
    static void state(SpiceCharDeviceInstance* instance, int connected)
    {
        // Reported from inside the server: the owner hears of it from the event loop.
        SpicePortServer* owner = ownerOf(instance);
        QMetaObject::invokeMethod(
            owner, [owner, connected] { owner->onClientState(connected); }, Qt::QueuedConnection);
    }
    static int write(SpiceCharDeviceInstance* instance, const uint8_t* buffer, int size)
    {
        Q_EMIT ownerOf(instance)->received(reinterpret_cast<const char*>(buffer), size);
        return size;
    }
    static int read(SpiceCharDeviceInstance* instance, uint8_t* buffer, int size)
    {
        return ownerOf(instance)->readInto(buffer, size);
    }
    static void event(SpiceCharDeviceInstance*, uint8_t) { }
};

namespace {

SpiceCharDeviceInterface portInterface
    = { { SPICE_INTERFACE_CHAR_DEVICE, "h5redir port", SPICE_INTERFACE_CHAR_DEVICE_MAJOR,
            SPICE_INTERFACE_CHAR_DEVICE_MINOR },
          PortDevice::state, PortDevice::write, PortDevice::read, PortDevice::event,
          spice_char_device_flags(0) };

} // namespace

static_assert(offsetof(PortDevice, instance) == 0, "ownerOf casts the instance to its device");

SpicePortServer::SpicePortServer(const QByteArray& portName, QObject* parent)
    : QObject(parent)
    , m_portName(portName)
    , m_server(spice_server_new())
    , m_device(std::make_unique<PortDevice>())
{
    spice_server_set_noauth(m_server);
    spice_server_init(m_server, &glibCore);
    m_listener.server = m_server;
    m_wakeup.setSingleShot(true);
    m_wakeup.setInterval(0);
    connect(&m_wakeup, &QTimer::timeout, this,
        [this] { spice_server_char_device_wakeup(&m_device->instance); });

    m_device->owner = this;
    m_device->instance.base.sif = &portInterface.base;
    m_device->instance.subtype = "port";
    m_device->instance.portname = m_portName.constData();
    spice_server_add_interface(m_server, &m_device->instance.base);
}

SpicePortServer::~SpicePortServer()
{
    m_listener.close();
    spice_server_destroy(m_server);
}

bool SpicePortServer::listen(quint16 port)
{
    return m_listener.listen(QHostAddress::LocalHost, port);
}

void SpicePortServer::Listener::incomingConnection(qintptr socket)
{
    // The server owns the socket from here on; it checks no password (noauth).
    spice_server_add_client(server, int(socket), 1);
}

void SpicePortServer::setPortOpen(bool open)
{
    spice_server_port_event(
        &m_device->instance, open ? SPICE_PORT_EVENT_OPENED : SPICE_PORT_EVENT_CLOSED);
}

void SpicePortServer::write(const QByteArray& bytes)
{
    if (!m_connected || bytes.isEmpty())
        return;
    m_pending.append(bytes);
    wakeUpLater();
}

// Waking the server up from inside one of its own device calls is not safe: from the loop. One
// timer kept for it, since a timer made per wakeup posts its own deletion, a loop wakeup each.
void SpicePortServer::wakeUpLater()
{
    m_wakeup.start();
}

// One write at most per read: a frame that fits the server's message (64 KiB and a little) then
// reaches the client as a message of its own, which the client takes whole without gathering.
int SpicePortServer::readInto(uchar* buffer, int size)
{
    if (m_pending.isEmpty())
        return 0;
    const QByteArray& first = m_pending.first();
    const int copied = qMin(size, first.size() - m_pendingAt);
    std::memcpy(buffer, first.constData() + m_pendingAt, size_t(copied));
    m_pendingAt += copied;
    if (m_pendingAt == first.size()) {
        m_pending.removeFirst();
        m_pendingAt = 0;
    }
    // The server takes one message per wakeup; with more to send, it must be woken again.
    if (!m_pending.isEmpty())
        wakeUpLater();
    return copied;
}

void SpicePortServer::onClientState(bool connected)
{
    if (connected == m_connected)
        return;
    m_connected = connected;
    m_pending.clear();
    m_pendingAt = 0;
    Q_EMIT clientChanged(connected);
}
