// spice-client.h first: GLib's headers use "signals" as a name, which Qt's keywords would take.
#include <spice-client.h>

#include "spiceinputs.h"

#include "scancodes.h"

#include <utility>

namespace {

struct Button
{
    int button; // SPICE_MOUSE_BUTTON_*
    int mask; // SPICE_MOUSE_BUTTON_MASK_*
};

Button spiceButton(Qt::MouseButton button)
{
    switch (button) {
    case Qt::LeftButton:
        return { SPICE_MOUSE_BUTTON_LEFT, SPICE_MOUSE_BUTTON_MASK_LEFT };
    case Qt::MiddleButton:
        return { SPICE_MOUSE_BUTTON_MIDDLE, SPICE_MOUSE_BUTTON_MASK_MIDDLE };
    case Qt::RightButton:
        return { SPICE_MOUSE_BUTTON_RIGHT, SPICE_MOUSE_BUTTON_MASK_RIGHT };
    case Qt::BackButton:
        return { SPICE_MOUSE_BUTTON_SIDE, SPICE_MOUSE_BUTTON_MASK_SIDE };
    case Qt::ForwardButton:
        return { SPICE_MOUSE_BUTTON_EXTRA, SPICE_MOUSE_BUTTON_MASK_EXTRA };
    default:
        return { SPICE_MOUSE_BUTTON_INVALID, 0 };
    }
}

} // namespace

SpiceInputs::SpiceInputs(QObject* parent)
    : QObject(parent)
{
}

SpiceInputs::~SpiceInputs() { leaveSession(); }

// Every signal below is emitted on GLib's default main context, which is Qt's event loop on
// Linux: no thread of the session's own reaches this object.
void SpiceInputs::follow(SpiceSession* session)
{
    leaveSession();
    m_relativeSaid = false;
    if (!session)
        return;
    m_session = SPICE_SESSION(g_object_ref(session));
    g_signal_connect(m_session, "channel-new", G_CALLBACK(onChannelNew), this);
    g_signal_connect(m_session, "channel-destroy", G_CALLBACK(onChannelDestroy), this);
}

void SpiceInputs::leaveSession()
{
    for (SpiceChannel* channel :
        { std::exchange(m_inputs, nullptr), std::exchange(m_main, nullptr) }) {
        if (channel)
            g_signal_handlers_disconnect_by_data(channel, this);
    }
    m_ready = false;
    m_buttons = 0;
    m_keys.clear();
    if (SpiceSession* session = std::exchange(m_session, nullptr)) {
        g_signal_handlers_disconnect_by_data(session, this);
        g_object_unref(session);
    }
}

void SpiceInputs::onChannelNew(SpiceSession*, SpiceChannel* channel, void* self)
{
    auto* inputs = static_cast<SpiceInputs*>(self);
    if (SPICE_IS_MAIN_CHANNEL(channel) && !inputs->m_main) {
        inputs->m_main = channel;
        g_signal_connect(channel, "main-mouse-update", G_CALLBACK(onMouseMode), self);
    } else if (SPICE_IS_INPUTS_CHANNEL(channel) && !inputs->m_inputs) {
        inputs->m_inputs = channel;
        g_signal_connect(channel, "channel-event", G_CALLBACK(onChannelEvent), self);
        // spice-client-glib connects no channel by itself.
        spice_channel_connect(channel);
    }
}

void SpiceInputs::onChannelDestroy(SpiceSession*, SpiceChannel* channel, void* self)
{
    auto* inputs = static_cast<SpiceInputs*>(self);
    if (channel != inputs->m_inputs && channel != inputs->m_main)
        return;
    g_signal_handlers_disconnect_by_data(channel, self);
    if (channel == inputs->m_main) {
        inputs->m_main = nullptr;
        return;
    }
    inputs->m_inputs = nullptr;
    inputs->m_ready = false;
}

void SpiceInputs::onChannelEvent(SpiceChannel*, int event, void* self)
{
    // Sending on a channel that is not open draws a critical warning from spice-client-glib.
    static_cast<SpiceInputs*>(self)->m_ready = event == SPICE_CHANNEL_OPENED;
}

void SpiceInputs::onMouseMode(SpiceChannel* channel, void* self)
{
    int mode = SPICE_MOUSE_MODE_CLIENT;
    g_object_get(channel, "mouse-mode", &mode, nullptr);
    static_cast<SpiceInputs*>(self)->m_absolute = mode == SPICE_MOUSE_MODE_CLIENT;
}

void SpiceInputs::moveTo(const QPoint& position)
{
    const QPoint last = std::exchange(m_position, position);
    if (!m_ready)
        return;
    auto* inputs = SPICE_INPUTS_CHANNEL(m_inputs);
    if (m_absolute) {
        spice_inputs_channel_position(inputs, position.x(), position.y(), 0, m_buttons);
        return;
    }
    if (!m_relativeSaid) {
        m_relativeSaid = true;
        Q_EMIT problem(QStringLiteral("the server offers no absolute pointer: the pointer moves "
                                      "by differences and may stray from yours"));
    }
    const QPoint delta = position - last;
    spice_inputs_channel_motion(inputs, delta.x(), delta.y(), m_buttons);
}

void SpiceInputs::press(Qt::MouseButton button)
{
    const Button spice = spiceButton(button);
    if (!m_ready || !spice.mask || (m_buttons & spice.mask))
        return;
    // The state given is the one after the change; spice-client-glib would set the bit anyway.
    m_buttons |= spice.mask;
    spice_inputs_channel_button_press(SPICE_INPUTS_CHANNEL(m_inputs), spice.button, m_buttons);
}

void SpiceInputs::release(Qt::MouseButton button)
{
    const Button spice = spiceButton(button);
    if (!m_ready || !(m_buttons & spice.mask))
        return;
    m_buttons &= ~spice.mask;
    spice_inputs_channel_button_release(SPICE_INPUTS_CHANNEL(m_inputs), spice.button, m_buttons);
}

void SpiceInputs::scroll(int steps)
{
    if (!m_ready)
        return;
    auto* inputs = SPICE_INPUTS_CHANNEL(m_inputs);
    const int button = steps > 0 ? SPICE_MOUSE_BUTTON_UP : SPICE_MOUSE_BUTTON_DOWN;
    for (int step = qAbs(steps); step > 0; --step) {
        spice_inputs_channel_button_press(inputs, button, m_buttons);
        spice_inputs_channel_button_release(inputs, button, m_buttons);
    }
}

void SpiceInputs::pressKey(quint32 scanCode)
{
    if (!m_ready || !scanCode)
        return;
    // Held keys repeat as a keyboard's do: the press again, without a release.
    m_keys.insert(scanCode);
    spice_inputs_channel_key_press(SPICE_INPUTS_CHANNEL(m_inputs), scanCode);
}

void SpiceInputs::releaseKey(quint32 scanCode)
{
    if (!m_ready || !m_keys.remove(scanCode))
        return;
    spice_inputs_channel_key_release(SPICE_INPUTS_CHANNEL(m_inputs), scanCode);
}

void SpiceInputs::releaseAll()
{
    const QSet<quint32> keys = m_keys;
    for (quint32 key : keys)
        releaseKey(key);
    for (Qt::MouseButton button :
        { Qt::LeftButton, Qt::MiddleButton, Qt::RightButton, Qt::BackButton, Qt::ForwardButton })
        release(button);
}

quint32 SpiceInputs::scanCode(quint32 xkbKeycode)
{
    // spice-client-glib takes a code behind the E0 prefix as 0x100 | code, and none behind E1.
    const quint32 code = ScanCodes::fromKeycode(xkbKeycode);
    if (code >> 8 == 0xe0)
        return 0x100 | (code & 0xff);
    return code > 0xff ? 0 : code;
}
