#ifndef SPICEINPUTS_H
#define SPICEINPUTS_H

#include <QObject>
#include <QPoint>
#include <QSet>

typedef struct _SpiceSession SpiceSession;
typedef struct _SpiceChannel SpiceChannel;

/*!
 * The user's pointer and keyboard on a SPICE session's desktop: positions, buttons, wheel steps
 * and keys sent on the session's inputs channel (spice-client-glib), in desktop coordinates of
 * display 0 (the surface SpiceDesktop shows).
 *
 * It connects the inputs channel itself and follows the session's mouse mode: in client mode
 * (absolute, which spice-client-glib asks for whenever the server offers it) a position goes as
 * it is; in server mode the difference from the last one goes, and problem() says so once. It
 * remembers what is held, so that releaseAll() can let go of it when the caller's view loses the
 * focus. Calls while the channel is not ready are dropped. The caller turns its own events into
 * these calls and hands it each new session (follow(), e.g. from SpicePortClient::sessionStarted).
 */
class SpiceInputs : public QObject
{
    Q_OBJECT

public:
    explicit SpiceInputs(QObject* parent = nullptr);
    ~SpiceInputs() override;

    // Follows this session's inputs from now on, and lets go of the previous session.
    void follow(SpiceSession* session);

    void moveTo(const QPoint& position);
    void press(Qt::MouseButton button);
    void release(Qt::MouseButton button);
    // Wheel steps: positive away from the user (button 4), negative towards (button 5).
    void scroll(int steps);
    // scanCode: PC AT set 1; a code with the 0xE0 prefix is 0x100 | code.
    void pressKey(quint32 scanCode);
    void releaseKey(quint32 scanCode);
    void releaseAll();

    // The set-1 scan code of an XKB keycode (QKeyEvent::nativeScanCode() under xcb and wayland),
    // or 0 when the key has none.
    static quint32 scanCode(quint32 xkbKeycode);

Q_SIGNALS:
    void problem(const QString& line);

private:
    static void onChannelNew(SpiceSession* session, SpiceChannel* channel, void* self);
    static void onChannelDestroy(SpiceSession* session, SpiceChannel* channel, void* self);
    static void onChannelEvent(SpiceChannel* channel, int event, void* self);
    static void onMouseMode(SpiceChannel* channel, void* self);

    void leaveSession();

    SpiceSession* m_session = nullptr; // referenced while followed
    SpiceChannel* m_inputs = nullptr; // ours to send on while m_ready
    SpiceChannel* m_main = nullptr;
    bool m_ready = false;
    bool m_absolute = true;
    bool m_relativeSaid = false;
    QPoint m_position;
    int m_buttons = 0; // SPICE_MOUSE_BUTTON_MASK_* held
    QSet<quint32> m_keys; // scan codes held
};

#endif // SPICEINPUTS_H
