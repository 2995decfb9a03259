// spice-client.h first: GLib's headers use "signals" as a name, which Qt's keywords would take.
#include <spice-client.h>

#include "spicedesktop.h"

#include <QPainter>

namespace {

// How QImage reads the memory of a primary surface of each format.
QImage::Format imageFormat(int format)
{
    switch (format) {
    case SPICE_SURFACE_FMT_32_xRGB:
    case SPICE_SURFACE_FMT_32_ARGB: // a desktop is opaque, whatever its alpha bytes hold
        return QImage::Format_RGB32;
    case SPICE_SURFACE_FMT_16_565:
        return QImage::Format_RGB16;
    case SPICE_SURFACE_FMT_16_555:
        return QImage::Format_RGB555;
    default:
        return QImage::Format_Invalid;
    }
}

} // namespace

SpiceDesktop::SpiceDesktop(QObject* parent)
    : QObject(parent)
{
}

SpiceDesktop::~SpiceDesktop()
{
    if (m_display)
        g_signal_handlers_disconnect_by_data(m_display, this);
    if (m_session) {
        g_signal_handlers_disconnect_by_data(m_session, this);
        g_object_unref(m_session);
    }
}

// Every signal below is emitted on GLib's default main context, which is Qt's event loop on
// Linux: no thread of the session's own reaches this object.
void SpiceDesktop::follow(SpiceSession* session)
{
    leaveDisplay();
    if (m_session) {
        g_signal_handlers_disconnect_by_data(m_session, this);
        g_object_unref(m_session);
    }
    m_session = session ? SPICE_SESSION(g_object_ref(session)) : nullptr;
    if (!m_session)
        return;
    g_signal_connect(m_session, "channel-new", G_CALLBACK(onChannelNew), this);
    g_signal_connect(m_session, "channel-destroy", G_CALLBACK(onChannelDestroy), this);
}

void SpiceDesktop::onChannelNew(SpiceSession*, SpiceChannel* channel, void* self)
{
    auto* desktop = static_cast<SpiceDesktop*>(self);
    if (!SPICE_IS_DISPLAY_CHANNEL(channel) || desktop->m_display)
        return;
    int id = 0;
    g_object_get(channel, "channel-id", &id, nullptr);
    // The first monitor only: display 0 is where the inputs channel's positions land.
    if (id != 0)
        return;
    desktop->m_display = channel;
    g_signal_connect(channel, "display-primary-create", G_CALLBACK(onPrimaryCreate), self);
    g_signal_connect(channel, "display-primary-destroy", G_CALLBACK(onPrimaryDestroy), self);
    g_signal_connect(channel, "display-invalidate", G_CALLBACK(onInvalidate), self);
    g_signal_connect(channel, "display-mark", G_CALLBACK(onMark), self);
    // spice-client-glib connects no channel by itself.
    spice_channel_connect(channel);
}

void SpiceDesktop::onChannelDestroy(SpiceSession*, SpiceChannel* channel, void* self)
{
    auto* desktop = static_cast<SpiceDesktop*>(self);
    if (channel == desktop->m_display)
        desktop->leaveDisplay();
}

void SpiceDesktop::onPrimaryCreate(
    SpiceChannel*, int format, int width, int height, int stride, int, void* data, void* self)
{
    auto* desktop = static_cast<SpiceDesktop*>(self);
    const QImage::Format imageFormat = ::imageFormat(format);
    if (imageFormat == QImage::Format_Invalid) {
        Q_EMIT desktop->problem(
            QStringLiteral("the desktop's surface format %1 cannot be shown").arg(format));
        return;
    }
    // Read only, and only until display-primary-destroy; shown once the server marks it ready.
    desktop->m_primary
        = QImage(static_cast<const uchar*>(data), width, height, stride, imageFormat);
}

void SpiceDesktop::onPrimaryDestroy(SpiceChannel*, void* self)
{
    // The last picture stays up until the next primary is ready: a new mode shows no gap.
    static_cast<SpiceDesktop*>(self)->m_primary = QImage();
}

void SpiceDesktop::onInvalidate(SpiceChannel*, int x, int y, int w, int h, void* self)
{
    auto* desktop = static_cast<SpiceDesktop*>(self);
    // Before the mark the surface is still being drawn: the mark copies all of it.
    if (desktop->m_primary.isNull() || desktop->m_image.size() != desktop->m_primary.size())
        return;
    const QRect rect = QRect(x, y, w, h) & desktop->m_primary.rect();
    if (rect.isEmpty())
        return;
    desktop->copy(rect);
    Q_EMIT desktop->changed(rect);
}

void SpiceDesktop::onMark(SpiceChannel*, int mark, void* self)
{
    auto* desktop = static_cast<SpiceDesktop*>(self);
    if (!mark || desktop->m_primary.isNull())
        return;
    const bool resized = desktop->m_image.size() != desktop->m_primary.size();
    if (resized)
        desktop->m_image = QImage(desktop->m_primary.size(), QImage::Format_RGB32);
    desktop->copy(desktop->m_primary.rect());
    if (resized)
        Q_EMIT desktop->sizeChanged(desktop->m_image.size());
    Q_EMIT desktop->changed(desktop->m_image.rect());
}

void SpiceDesktop::copy(const QRect& rect)
{
    if (m_primary.format() != QImage::Format_RGB32) {
        QPainter painter(&m_image);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(rect.topLeft(), m_primary, rect);
        return;
    }
    // The server leaves the fourth byte of each pixel as it likes (often 0) where QImage's RGB32
    // wants 0xff: a window with an alpha channel, such as a Wayland surface, would show through.
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        const auto* from
            = reinterpret_cast<const quint32*>(m_primary.constScanLine(y)) + rect.left();
        auto* to = reinterpret_cast<quint32*>(m_image.scanLine(y)) + rect.left();
        for (int x = 0; x < rect.width(); ++x)
            to[x] = from[x] | 0xff000000u;
    }
}

void SpiceDesktop::leaveDisplay()
{
    if (m_display)
        g_signal_handlers_disconnect_by_data(m_display, this);
    m_display = nullptr;
    m_primary = QImage();
    if (m_image.isNull())
        return;
    m_image = QImage();
    Q_EMIT sizeChanged(QSize());
}
