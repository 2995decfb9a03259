#include "desktop.h"

#include "desktopdevice.h"

Desktop::Desktop(QObject* parent)
    : QObject(parent)
{
}

bool Desktop::start(
    SpicePortServer* server, const QString& displayName, const QSize& size, QString& error)
{
    if (displayName.isEmpty() ? !m_display.start(size, error)
                              : !m_display.attach(displayName, error))
        return false;
    m_device = new DesktopDevice(server, m_display.size());
    connect(&m_display, &ServerDisplay::damaged, this, &Desktop::mirror);
    connect(m_device, &DesktopDevice::roomAvailable, this, &Desktop::mirror);
    connect(&m_display, &ServerDisplay::locksChanged, m_device, &DesktopDevice::setLocks);
    connect(m_device, &DesktopDevice::pointerMoved, &m_display, &ServerDisplay::movePointer);
    connect(m_device, &DesktopDevice::buttonsChanged, &m_display, &ServerDisplay::setButtons);
    connect(m_device, &DesktopDevice::wheelTurned, &m_display, &ServerDisplay::turnWheel);
    connect(m_device, &DesktopDevice::keyChanged, &m_display, &ServerDisplay::pressKey);
    mirror();
    return true;
}

void Desktop::mirror()
{
    if (!m_device || !m_display.hasDamage() || !m_device->hasRoom())
        return;
    const QVector<QRect> damage = m_display.takeDamage();
    for (const QRect& rect : damage) {
        m_device->draw(rect,
            [this, rect](uchar* bits, int stride) { return m_display.grab(rect, bits, stride); });
    }
}
