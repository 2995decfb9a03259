// spice.h first: GLib's headers use "signals" as a name, which Qt's keywords would take.
#include <glib-unix.h>
#include <spice.h>
#include <spice/protocol.h>

#include "spiceportserver.h"

#include <QTimer>

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

gboolean watchFired(int fd, GIOCondition condition, gpointer data)
{
    auto* watch = static_cast<SpiceWatch*>(data);
    int events = 0;
    if (condition & (G_IO_IN | G_IO_HUP | G_IO_ERR))
        events |= SPICE_WATCH_EVENT_READ;
    if (condition & G_IO_OUT)
        events |= SPICE_WATCH_EVENT_WRITE;
    // The callback may change or remove the watch: nothing of it is touched afterwards.
    watch->func(fd, events, watch->opaque);
    return G_SOURCE_CONTINUE;
}

void watchUpdateMask(SpiceWatch* watch, int events)
{
    dropSource(watch->source);
    int condition = 0;
    if (events & SPICE_WATCH_EVENT_READ)
        condition |= G_IO_IN | G_IO_HUP | G_IO_ERR;
    if (events & SPICE_WATCH_EVENT_WRITE)
        condition |= G_IO_OUT | G_IO_ERR;
    if (!condition)
        return;
    watch->source = g_unix_fd_source_new(watch->fd, GIOCondition(condition));
    g_source_set_callback(watch->source, G_SOURCE_FUNC(watchFired), watch, nullptr);
    g_source_attach(watch->source, nullptr);
}

SpiceWatch* watchAdd(int fd, int events, SpiceWatchFunc func, void* opaque)
{
    auto* watch = new SpiceWatch { fd, func, opaque };
    watchUpdateMask(watch, events);
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

// Waking the server up from inside one of its own device calls is not safe: from the loop.
void SpicePortServer::wakeUpLater()
{
    if (m_wakeupQueued)
        return;
    m_wakeupQueued = true;
    QTimer::singleShot(0, this, [this] {
        m_wakeupQueued = false;
        spice_server_char_device_wakeup(&m_device->instance);
    });
}

int SpicePortServer::readInto(uchar* buffer, int size)
{
    int copied = 0;
    while (copied < size && !m_pending.isEmpty()) {
        const QByteArray& first = m_pending.first();
        const int take = qMin(size - copied, first.size() - m_pendingAt);
        std::memcpy(buffer + copied, first.constData() + m_pendingAt, size_t(take));
        copied += take;
        m_pendingAt += take;
        if (m_pendingAt == first.size()) {
            m_pending.removeFirst();
            m_pendingAt = 0;
        }
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
