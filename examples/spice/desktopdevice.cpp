// spice.h first: GLib's headers use "signals" as a name, which Qt's keywords would take.
#include <spice.h>
#include <spice/qxl_dev.h>

#include "desktopdevice.h"

#include "spiceportserver.h"

#include <cstring>

namespace {

// Commands drawn but not yet taken by the worker. The worker stops taking commands while the
// client's pipe is full, so this is where a slow client shows: past it, the caller keeps its
// damage and draws it later, merged, instead of queueing frame after frame.
constexpr std::size_t maxQueued = 8;

// The server keeps a drawable that is still partly visible until it renders it into its surface,
// which it does only when it must (a drawable pool of about 1000): a window dragged across the
// screen left ~1000 window-sized bitmaps held, with or without a client. Past this many screens'
// worth of pixels held, an update command has the server render what it holds and release it.
constexpr std::size_t maxHeldScreens = 2;

// One memslot over the whole address space, so an ordinary pointer is a QXL address: slot 0 of
// generation 0 is an address whose top 16 bits are 0, as every user space pointer's are.
constexpr int memslotGroup = 0;
constexpr quint8 memslotIdBits = 8;
constexpr quint8 memslotGenerationBits = 8;

QXLPHYSICAL qxlAddress(const void* pointer)
{
    return QXLPHYSICAL(reinterpret_cast<quintptr>(pointer));
}

QXLRect qxlRect(const QRect& rect)
{
    QXLRect qxl;
    qxl.top = rect.top();
    qxl.left = rect.left();
    qxl.bottom = rect.top() + rect.height();
    qxl.right = rect.left() + rect.width();
    return qxl;
}

// The tablet's button state, after spice-server turned it into a PS/2 mouse's bits.
Qt::MouseButtons tabletButtons(quint32 state)
{
    Qt::MouseButtons buttons;
    buttons.setFlag(Qt::LeftButton, state & 1);
    buttons.setFlag(Qt::RightButton, state & 2);
    buttons.setFlag(Qt::MiddleButton, state & 4);
    return buttons;
}

} // namespace

// A command for the worker, which the server hands back through release_resource.
struct DeviceCommand
{
    virtual ~DeviceCommand() = default;

    QXLCommandExt ext {};
    std::size_t bytes = 0; // of pixels the server holds while it holds the command

protected:
    void setCommand(QXLReleaseInfo& release, const void* data, QXLCmdType type)
    {
        release.id = reinterpret_cast<quintptr>(this);
        ext.cmd.data = qxlAddress(data);
        ext.cmd.type = type;
        ext.group_id = memslotGroup;
    }
};

// One rectangle as a copy of a top-down 32-bit bitmap onto the primary surface; the server
// reads the pixels from here until it releases the command.
struct DrawCommand : DeviceCommand
{
    DrawCommand(const QRect& rect, quint32 imageId)
        : stride(rect.width() * 4)
        , pixels(new uchar[std::size_t(stride) * std::size_t(rect.height())])
    {
        bytes = std::size_t(stride) * std::size_t(rect.height());
        setCommand(drawable.release_info, &drawable, QXL_CMD_DRAW);
        drawable.surface_id = 0;
        drawable.effect = QXL_EFFECT_OPAQUE;
        drawable.type = QXL_DRAW_COPY;
        drawable.bbox = qxlRect(rect);
        drawable.clip.type = SPICE_CLIP_TYPE_NONE;
        for (int i = 0; i < 3; ++i)
            drawable.surfaces_dest[i] = -1; // copies from no other surface
        drawable.u.copy.src_bitmap = qxlAddress(&image);
        drawable.u.copy.src_area = qxlRect(QRect(QPoint(), rect.size()));
        drawable.u.copy.rop_descriptor = SPICE_ROPD_OP_PUT;
        drawable.u.copy.scale_mode = SPICE_IMAGE_SCALE_MODE_NEAREST;

        QXL_SET_IMAGE_ID(&image, QXL_IMAGE_GROUP_DEVICE, imageId);
        image.descriptor.type = SPICE_IMAGE_TYPE_BITMAP;
        image.descriptor.width = quint32(rect.width());
        image.descriptor.height = quint32(rect.height());
        image.bitmap.format = SPICE_BITMAP_FMT_32BIT;
        // Direct: data points at the pixels themselves, not at a chain of data chunks.
        image.bitmap.flags = QXL_BITMAP_DIRECT | QXL_BITMAP_TOP_DOWN;
        image.bitmap.x = quint32(rect.width());
        image.bitmap.y = quint32(rect.height());
        image.bitmap.stride = quint32(stride);
        image.bitmap.data = qxlAddress(pixels.get());
    }

    QXLDrawable drawable {};
    QXLImage image {};
    const int stride;
    const std::unique_ptr<uchar[]> pixels;
};

// Has the server render into its surface what it holds of the area, and release those drawables.
struct UpdateCommand : DeviceCommand
{
    explicit UpdateCommand(const QRect& area)
    {
        setCommand(update.release_info, &update, QXL_CMD_UPDATE);
        update.area = qxlRect(area);
        update.surface_id = 0;
    }

    QXLUpdateCmd update {};
};

// The QXL instance and the way back from it to its device. get_command, req_cmd_notification
// and release_resource run on spice-server's display worker thread; get_init_info and
// set_client_capabilities on the main loop's.
struct DesktopQxl
{
    QXLInstance instance {};
    DesktopDevice* owner;

    static DesktopDevice* ownerOf(QXLInstance* instance)
    {
        return reinterpret_cast<DesktopQxl*>(instance)->owner;
    }
    static void attachedWorker(QXLInstance*) { }
    static void setCompressionLevel(QXLInstance*, int) { }
    static void initInfo(QXLInstance*, QXLDevInitInfo* info)
    {
        *info = {};
        info->num_memslots_groups = 1;
        info->num_memslots = 1;
        info->memslot_gen_bits = memslotGenerationBits;
        info->memslot_id_bits = memslotIdBits;
        info->internal_groupslot_id = memslotGroup;
        info->n_surfaces = 1;
    }
    static int command(QXLInstance* instance, QXLCommandExt* ext)
    {
        const DeviceCommand* command = ownerOf(instance)->takeCommand();
        if (!command)
            return 0;
        *ext = command->ext;
        return 1;
    }
    static int requestCommandNotification(QXLInstance* instance)
    {
        return ownerOf(instance)->requestNotification();
    }
    static void releaseResource(QXLInstance* instance, QXLReleaseInfoExt release)
    {
        ownerOf(instance)->release(reinterpret_cast<DeviceCommand*>(quintptr(release.info->id)));
    }
    static int cursorCommand(QXLInstance*, QXLCommandExt*) { return 0; }
    static int requestCursorNotification(QXLInstance*) { return 1; }
    static void notifyUpdate(QXLInstance*, uint32_t) { }
    static int flushResources(QXLInstance*) { return 0; }
    static void asyncComplete(QXLInstance*, uint64_t) { }
    static void updateAreaComplete(QXLInstance*, uint32_t, QXLRect*, uint32_t) { }
    static void setClientCapabilities(QXLInstance*, uint8_t, uint8_t*) { }
};

// The client's absolute pointer. spice-server calls these from its main loop (the Qt thread).
struct DesktopTablet
{
    SpiceTabletInstance instance {};
    DesktopDevice* owner;

    static DesktopDevice* ownerOf(SpiceTabletInstance* instance)
    {
        return reinterpret_cast<DesktopTablet*>(instance)->owner;
    }
    static void setLogicalSize(SpiceTabletInstance* instance, int width, int height)
    {
        ownerOf(instance)->m_logicalSize = QSize(width, height);
    }
    static void position(SpiceTabletInstance* instance, int x, int y, uint32_t buttons)
    {
        ownerOf(instance)->onPointer(x, y, buttons);
    }
    static void wheel(SpiceTabletInstance* instance, int motion, uint32_t buttons)
    {
        ownerOf(instance)->onWheel(motion, buttons);
    }
    static void buttons(SpiceTabletInstance* instance, uint32_t buttons)
    {
        ownerOf(instance)->onButtons(buttons);
    }
};

// The client's keyboard, one scan code byte at a time, from spice-server's main loop.
struct DesktopKeyboard
{
    SpiceKbdInstance instance {};
    DesktopDevice* owner;

    static DesktopDevice* ownerOf(SpiceKbdInstance* instance)
    {
        return reinterpret_cast<DesktopKeyboard*>(instance)->owner;
    }
    static void pushScanFragment(SpiceKbdInstance* instance, uint8_t fragment)
    {
        ownerOf(instance)->onScanFragment(fragment);
    }
    static uint8_t leds(SpiceKbdInstance* instance) { return ownerOf(instance)->m_locks; }
};

static_assert(offsetof(DesktopQxl, instance) == 0, "ownerOf casts the instance to its device");
static_assert(offsetof(DesktopTablet, instance) == 0, "ownerOf casts the instance to its device");
static_assert(offsetof(DesktopKeyboard, instance) == 0, "ownerOf casts the instance to its device");

namespace {

QXLInterface makeQxlInterface()
{
    QXLInterface qxl {};
    qxl.base = { SPICE_INTERFACE_QXL, "h5redir desktop", SPICE_INTERFACE_QXL_MAJOR,
        SPICE_INTERFACE_QXL_MINOR };
    qxl.attached_worker = DesktopQxl::attachedWorker;
    qxl.set_compression_level = DesktopQxl::setCompressionLevel;
    qxl.get_init_info = DesktopQxl::initInfo;
    qxl.get_command = DesktopQxl::command;
    qxl.req_cmd_notification = DesktopQxl::requestCommandNotification;
    qxl.release_resource = DesktopQxl::releaseResource;
    qxl.get_cursor_command = DesktopQxl::cursorCommand;
    qxl.req_cursor_notification = DesktopQxl::requestCursorNotification;
    qxl.notify_update = DesktopQxl::notifyUpdate;
    qxl.flush_resources = DesktopQxl::flushResources;
    qxl.async_complete = DesktopQxl::asyncComplete;
    qxl.update_area_complete = DesktopQxl::updateAreaComplete;
    qxl.set_client_capabilities = DesktopQxl::setClientCapabilities;
    return qxl;
}

QXLInterface qxlInterface = makeQxlInterface();

SpiceTabletInterface tabletInterface
    = { { SPICE_INTERFACE_TABLET, "h5redir tablet", SPICE_INTERFACE_TABLET_MAJOR,
            SPICE_INTERFACE_TABLET_MINOR },
          DesktopTablet::setLogicalSize, DesktopTablet::position, DesktopTablet::wheel,
          DesktopTablet::buttons };

SpiceKbdInterface keyboardInterface
    = { { SPICE_INTERFACE_KEYBOARD, "h5redir keyboard", SPICE_INTERFACE_KEYBOARD_MAJOR,
            SPICE_INTERFACE_KEYBOARD_MINOR },
          DesktopKeyboard::pushScanFragment, DesktopKeyboard::leds };

} // namespace

DesktopDevice::DesktopDevice(SpicePortServer* server, const QSize& size)
    : QObject(server)
    , m_size(size)
    , m_surface(new uchar[std::size_t(size.width()) * std::size_t(size.height()) * 4]())
    , m_qxl(std::make_unique<DesktopQxl>())
    , m_tablet(std::make_unique<DesktopTablet>())
    , m_keyboard(std::make_unique<DesktopKeyboard>())
    , m_logicalSize(size)
{
    SpiceServer* spice = server->server();
    // Exact pixels matter more here than bandwidth: local players are laid over this desktop
    // and matched against it. So images go lossless, never as JPEG however slow the link looks,
    // and no area becomes a video stream: the server's detection of busy areas (on by default)
    // turned a changing 320x240 area into a stream every 0.7 s, whose frames never showed
    // exactly. LZ4 rather than raw: measured on loopback, a flat full screen arrives in 1 ms
    // instead of 5, noise as fast either way.
    spice_server_set_image_compression(spice, SPICE_IMAGE_COMPRESSION_LZ4);
    spice_server_set_jpeg_compression(spice, SPICE_WAN_COMPRESSION_NEVER);
    spice_server_set_zlib_glz_compression(spice, SPICE_WAN_COMPRESSION_NEVER);
    spice_server_set_streaming_video(spice, SPICE_STREAM_VIDEO_OFF);

    m_qxl->owner = this;
    m_qxl->instance.base.sif = &qxlInterface.base;
    m_qxl->instance.id = 0;
    // Starts the display worker thread, which asks for commands from here on.
    spice_server_add_interface(spice, &m_qxl->instance.base);

    QXLDevMemSlot slot {};
    slot.slot_group_id = memslotGroup;
    slot.virt_end = ~uintptr_t(0);
    spice_qxl_add_memslot(&m_qxl->instance, &slot);

    QXLDevSurfaceCreate surface {};
    surface.width = quint32(size.width());
    surface.height = quint32(size.height());
    surface.stride = size.width() * 4; // positive: the first row is the top one
    surface.format = SPICE_SURFACE_FMT_32_xRGB;
    // A true mouse_mode lets the server offer the client mouse mode, in which the tablet
    // receives absolute positions.
    surface.mouse_mode = true;
    surface.flags = 0;
    surface.type = QXL_SURF_TYPE_PRIMARY;
    surface.mem = qxlAddress(m_surface.get());
    surface.group_id = memslotGroup;
    spice_qxl_create_primary_surface(&m_qxl->instance, 0, &surface);

    m_tablet->owner = this;
    m_tablet->instance.base.sif = &tabletInterface.base;
    spice_server_add_interface(spice, &m_tablet->instance.base);
    m_keyboard->owner = this;
    m_keyboard->instance.base.sif = &keyboardInterface.base;
    spice_server_add_interface(spice, &m_keyboard->instance.base);

    spice_server_vm_start(spice);
}

// The server is gone (it destroyed its worker): what it never released is freed here.
DesktopDevice::~DesktopDevice()
{
    for (DeviceCommand* command : m_unreleased)
        delete command;
}

bool DesktopDevice::hasRoom() const
{
    std::lock_guard<std::mutex> locked(m_lock);
    return m_queue.size() < maxQueued;
}

bool DesktopDevice::draw(const QRect& rect, const Painter& painter)
{
    if (rect.isEmpty() || !QRect(QPoint(), m_size).contains(rect))
        return false;
    auto command = std::make_unique<DrawCommand>(rect, ++m_nextImageId);
    if (!painter(command->pixels.get(), command->stride))
        return false;
    const std::size_t maxHeld
        = maxHeldScreens * std::size_t(m_size.width()) * std::size_t(m_size.height()) * 4;
    bool wakeUp;
    {
        std::lock_guard<std::mutex> locked(m_lock);
        m_unreleasedBytes += command->bytes;
        m_queue.push_back(command.get());
        m_unreleased.insert(command.release());
        if (m_unreleasedBytes > maxHeld && !m_update) {
            m_update = new UpdateCommand(QRect(QPoint(), m_size));
            m_queue.push_back(m_update);
            m_unreleased.insert(m_update);
        }
        wakeUp = std::exchange(m_notifyWorker, false);
        if (m_queue.size() >= maxQueued)
            m_roomWanted = true;
    }
    if (wakeUp)
        spice_qxl_wakeup(&m_qxl->instance);
    return true;
}

DeviceCommand* DesktopDevice::takeCommand()
{
    DeviceCommand* command = nullptr;
    bool roomMade = false;
    {
        std::lock_guard<std::mutex> locked(m_lock);
        if (m_queue.empty())
            return nullptr;
        command = m_queue.front();
        m_queue.pop_front();
        roomMade = m_roomWanted && m_queue.size() < maxQueued;
        if (roomMade)
            m_roomWanted = false;
    }
    if (roomMade)
        QMetaObject::invokeMethod(this, &DesktopDevice::roomAvailable, Qt::QueuedConnection);
    return command;
}

// The worker found the queue empty: it sleeps until spice_qxl_wakeup(), unless commands
// arrived in between (then it must not sleep, and says so by getting false).
bool DesktopDevice::requestNotification()
{
    std::lock_guard<std::mutex> locked(m_lock);
    m_notifyWorker = m_queue.empty();
    return m_notifyWorker;
}

void DesktopDevice::release(DeviceCommand* command)
{
    {
        std::lock_guard<std::mutex> locked(m_lock);
        m_unreleased.erase(command);
        m_unreleasedBytes -= command->bytes;
        if (command == m_update)
            m_update = nullptr;
    }
    delete command;
}

void DesktopDevice::setLocks(bool capsLock, bool numLock, bool scrollLock)
{
    const uchar locks = (capsLock ? SPICE_KEYBOARD_MODIFIER_FLAGS_CAPS_LOCK : 0)
        | (numLock ? SPICE_KEYBOARD_MODIFIER_FLAGS_NUM_LOCK : 0)
        | (scrollLock ? SPICE_KEYBOARD_MODIFIER_FLAGS_SCROLL_LOCK : 0);
    if (locks == m_locks)
        return;
    m_locks = locks;
    spice_server_kbd_leds(&m_keyboard->instance, locks);
}

void DesktopDevice::onPointer(int x, int y, quint32 buttons)
{
    // Positions range over the logical size the server gave the tablet, which is the surface's.
    if (m_logicalSize.width() > 0 && m_logicalSize.height() > 0)
        Q_EMIT pointerMoved(QPoint(x * m_size.width() / m_logicalSize.width(),
            y * m_size.height() / m_logicalSize.height()));
    onButtons(buttons);
}

// A button press comes here, with the new button state; only releases come to buttons().
void DesktopDevice::onWheel(int motion, quint32 buttons)
{
    onButtons(buttons);
    if (motion != 0)
        Q_EMIT wheelTurned(-motion);
}

void DesktopDevice::onButtons(quint32 buttons)
{
    const Qt::MouseButtons now = tabletButtons(buttons);
    if (now == m_buttons)
        return;
    m_buttons = now;
    Q_EMIT buttonsChanged(now);
}

// Scan codes arrive a byte at a time; a key's release has bit 0x80 set. E0 comes before the
// code of an extended key; Pause is E1 1D 45, released as E1 9D C5.
void DesktopDevice::onScanFragment(uchar fragment)
{
    if (fragment == 0xe0 || (fragment == 0xe1 && m_prefix == 0)) {
        m_prefix = fragment;
        return;
    }
    if (m_prefix == 0xe1) {
        m_prefix = 0xe100 | fragment;
        return;
    }
    int scanCode = fragment & 0x7f;
    if (m_prefix == 0xe0)
        scanCode |= 0xe000;
    else if (m_prefix > 0xe100)
        scanCode = 0xe11d;
    m_prefix = 0;
    Q_EMIT keyChanged(scanCode, !(fragment & 0x80));
}
