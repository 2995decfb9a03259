#ifndef SERVERDISPLAY_H
#define SERVERDISPLAY_H

#include <QObject>
#include <QRect>
#include <QString>
#include <QVector>

#include <memory>

class QProcess;
class QSocketNotifier;
struct _XDisplay;
struct ScreenImage;

/*!
 * The agent's X display: an Xvfb of its own, which ends with this object, or one that runs
 * already. It reports where the screen changed (XDamage, the region read through XFixes), reads
 * those pixels (XShm) and plays the client's pointer, buttons and keys into the display (XTest).
 *
 * Damage is taken, not pushed: damaged() says there is some, takeDamage() fetches and clears it.
 * Until the caller takes it, the X server merges whatever else changes into it, so a caller that
 * cannot keep up gets fewer, larger rectangles rather than a backlog.
 */
class ServerDisplay : public QObject
{
    Q_OBJECT

public:
    explicit ServerDisplay(QObject* parent = nullptr);
    ~ServerDisplay() override;

    // Starts "Xvfb -displayfd" with one screen of this size and connects to it.
    bool start(const QSize& size, QString& error);
    // Connects to a display that runs, such as ":1".
    bool attach(const QString& name, QString& error);

    QString name() const { return m_name; }
    QSize size() const { return m_size; }

    bool hasDamage() const { return m_damaged; }
    QVector<QRect> takeDamage();
    // Copies a rectangle of the screen as 32-bit xRGB pixels, rows stride bytes apart.
    bool grab(const QRect& rect, uchar* bits, int stride);

    void movePointer(const QPoint& position);
    void setButtons(Qt::MouseButtons buttons);
    // Positive: up, as wheel buttons 4; negative: down, as button 5.
    void turnWheel(int steps);
    // A PC scan code (set 1): 0x01-0x7f, 0xe0XX for keys with the E0 prefix, 0xe11d for Pause.
    void pressKey(int scanCode, bool pressed);

Q_SIGNALS:
    void damaged();
    void locksChanged(bool capsLock, bool numLock, bool scrollLock);

private:
    bool connectTo(const QString& name, QString& error);
    void readEvents();
    void readLocks();

    std::unique_ptr<QProcess> m_xvfb;
    _XDisplay* m_display = nullptr;
    QString m_name;
    QSize m_size;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<ScreenImage> m_image;
    unsigned long m_damage = 0; // the XDamage object on the root window
    unsigned long m_region = 0; // an XFixes region the damage is moved into
    int m_damageEvent = 0;
    int m_xkbEvent = 0;
    bool m_damaged = false;
    Qt::MouseButtons m_buttons;
    int m_lockIndicators[3] = { -1, -1, -1 }; // Caps, Num and Scroll Lock: their indicator bits
};

#endif // SERVERDISPLAY_H
