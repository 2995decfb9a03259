#ifndef DESKTOP_H
#define DESKTOP_H

#include "serverdisplay.h"

#include <QObject>
#include <QPointer>

class DesktopDevice;
class SpicePortServer;

/*!
 * The agent's desktop: an X display (ServerDisplay) shown on the display channel of the agent's
 * SPICE server (DesktopDevice), with the client's pointer, buttons and keys played back into it.
 *
 * Damage is taken from the display only while the device has room, so behind a slow client the
 * X server merges the changes and the client gets the latest pixels instead of a backlog.
 *
 * It owns the display, and with it the Xvfb it started; the device belongs to the SPICE server.
 */
class Desktop : public QObject
{
    Q_OBJECT

public:
    explicit Desktop(QObject* parent = nullptr);

    // Starts an Xvfb of that size, or attaches to displayName when it is not empty, and adds the
    // device to server.
    bool start(
        SpicePortServer* server, const QString& displayName, const QSize& size, QString& error);

    QString displayName() const { return m_display.name(); }
    QSize size() const { return m_display.size(); }

private:
    void mirror();

    ServerDisplay m_display;
    QPointer<DesktopDevice> m_device;
};

#endif // DESKTOP_H
