#ifndef XWINDOWSTACK_H
#define XWINDOWSTACK_H

#include <QObject>
#include <QRect>
#include <QVector>

struct _XDisplay;
class QSocketNotifier;

/*!
 * The top-level windows of one X display in their stacking order: where a given window is, whether
 * it shows, and which windows lie over it. It owns its own Xlib connection to the display and
 * reports every change of the top-level windows (mapped, unmapped, moved, resized, restacked,
 * created, destroyed) with changed(); what to make of them is left to its caller. The display must
 * outlive it: Xlib ends the process when a connection breaks.
 */
class XWindowStack : public QObject
{
    Q_OBJECT

public:
    using WindowId = unsigned long; // an X window id (XID)

    struct Placement
    {
        QRect geometry; // on the root window
        bool viewable = false; // mapped, and every ancestor too
        QVector<QRect> above; // the viewable windows stacked over it, on the root window
    };

    explicit XWindowStack(QObject* parent = nullptr);
    ~XWindowStack() override;

    // Connects to the display (":1"); false when it cannot. Nothing else works before it.
    bool open(const QString& display);
    QRect screen() const;
    // The viewable window of process pid, at the top level or one below it (under a reparenting
    // window manager), whose geometry is closest to bounds; 0 when there is none.
    WindowId findWindow(qint64 pid, const QRect& bounds) const;
    // An unknown or destroyed window is placed nowhere and not viewable.
    Placement placement(WindowId window) const;

Q_SIGNALS:
    void changed();

private:
    void readEvents();
    void readLater() const;
    qint64 processOf(WindowId window) const;

    _XDisplay* m_display = nullptr;
    WindowId m_root = 0;
    unsigned long m_pidAtom = 0;
    QSocketNotifier* m_notifier = nullptr;

    Q_DISABLE_COPY(XWindowStack)
};

#endif // XWINDOWSTACK_H
