#ifndef DESKTOPDEVICE_H
#define DESKTOPDEVICE_H

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_set>

class SpicePortServer;
struct DeviceCommand;
struct DesktopQxl;
struct DesktopTablet;
struct DesktopKeyboard;

/*!
 * The display and input devices of a desktop served by a SpicePortServer's spice-server: a QXL
 * device whose primary surface the client shows, fed one drawable per rectangle given to draw(),
 * and the client's absolute pointer and keyboard, reported as signals.
 *
 * It owns the devices' memory (the surface, the drawables until the server releases them) and
 * leaves where the pixels and the input come from to its caller. Pixels reach the client exactly
 * as drawn: lossless images, no video streams.
 *
 * spice-server cannot take a keyboard back (spice_server_remove_interface refuses it), so the
 * device must outlive the server: it becomes a child of the SpicePortServer and is deleted after
 * the server is destroyed.
 */
class DesktopDevice : public QObject
{
    Q_OBJECT

public:
    // Paints a rectangle's pixels, 32-bit xRGB rows stride bytes apart; false when it could not.
    using Painter = std::function<bool(uchar* bits, int stride)>;

    DesktopDevice(SpicePortServer* server, const QSize& size);
    ~DesktopDevice() override;

    QSize size() const { return m_size; }

    // False while the client has not taken enough of what was drawn: draw later, on
    // roomAvailable().
    bool hasRoom() const;
    // Hands the rectangle over to the server; false when painter failed or rect is off the surface.
    bool draw(const QRect& rect, const Painter& painter);

    // The keyboard's lock lights, which the client keeps its own in step with.
    void setLocks(bool capsLock, bool numLock, bool scrollLock);

Q_SIGNALS:
    void roomAvailable();
    // In surface pixels.
    void pointerMoved(const QPoint& position);
    void buttonsChanged(Qt::MouseButtons buttons);
    // Positive: away from the user (up).
    void wheelTurned(int steps);
    // A PC scan code (set 1): 0x01-0x7f, 0xe0XX for keys with the E0 prefix, 0xe11d for Pause.
    void keyChanged(int scanCode, bool pressed);

private:
    friend struct DesktopQxl;
    friend struct DesktopTablet;
    friend struct DesktopKeyboard;

    // These run on spice-server's display worker thread.
    DeviceCommand* takeCommand();
    bool requestNotification();
    void release(DeviceCommand* command);

    // These run on the thread of the Qt event loop, which drives spice-server's main loop.
    void onPointer(int x, int y, quint32 buttons);
    void onWheel(int motion, quint32 buttons);
    void onButtons(quint32 buttons);
    void onScanFragment(uchar fragment);

    const QSize m_size;
    std::unique_ptr<uchar[]> m_surface;
    std::unique_ptr<DesktopQxl> m_qxl;
    std::unique_ptr<DesktopTablet> m_tablet;
    std::unique_ptr<DesktopKeyboard> m_keyboard;
    quint32 m_nextImageId = 0;

    // The one hand-over between the Qt thread (draw) and the worker (take, release).
    mutable std::mutex m_lock;
    std::deque<DeviceCommand*> m_queue; // not yet taken by the worker
    std::unordered_set<DeviceCommand*> m_unreleased; // not yet released, queued ones too
    std::size_t m_unreleasedBytes = 0;
    DeviceCommand* m_update = nullptr; // the update command queued and not yet released
    bool m_notifyWorker = false; // the worker asked to be woken up for the next command
    bool m_roomWanted = false; // hasRoom() said no: roomAvailable() is due when there is room

    QSize m_logicalSize; // what the client's pointer positions range over
    Qt::MouseButtons m_buttons;
    int m_prefix = 0; // scan code prefix bytes seen so far (E0, or E1 and the next)
    uchar m_locks = 0;
};

#endif // DESKTOPDEVICE_H
