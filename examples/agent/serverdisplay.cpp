#include "serverdisplay.h"

#include "scancodes.h"

#include <QAbstractEventDispatcher>
#include <QProcess>
#include <QSocketNotifier>

#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <unistd.h>

// Xlib last: its macros (None, Bool, Status, KeyPress, ...) would take Qt's names.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

// The shared memory the screen is read through, as big as the screen.
struct ScreenImage
{
    XShmSegmentInfo segment {};
    XImage* image = nullptr;
    bool attached = false;

    void release(Display* display)
    {
        if (attached)
            XShmDetach(display, &segment);
        if (image) {
            image->data = nullptr; // the segment's, not Xlib's to free
            XDestroyImage(image);
        }
        if (segment.shmaddr)
            shmdt(segment.shmaddr);
    }
};

namespace {

constexpr int xvfbStartMs = 10000;

// Past this many rectangles one bounding box is cheaper for the client than many small copies.
constexpr int maxDamageRects = 32;

// Xvfb in a session of its own, so that a terminal's Ctrl-C reaches the agent only (which then
// ends Xvfb itself, after letting go of it); and ended when the agent is killed outright.
class XvfbProcess : public QProcess
{
protected:
    void setupChildProcess() override
    {
        setsid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
    }
};

// Reads the display number Xvfb writes to its -displayfd when it is ready; empty if it ended.
QByteArray readDisplayNumber(int fd)
{
    QByteArray number;
    pollfd ready { fd, POLLIN, 0 };
    while (!number.endsWith('\n') && poll(&ready, 1, xvfbStartMs) == 1) {
        char buffer[16];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        number.append(buffer, int(got));
    }
    return number.trimmed();
}

} // namespace

ServerDisplay::ServerDisplay(QObject* parent)
    : QObject(parent)
{
}

ServerDisplay::~ServerDisplay()
{
    if (m_display) {
        m_notifier.reset();
        if (m_image)
            m_image->release(m_display);
        XCloseDisplay(m_display);
    }
    if (m_xvfb) {
        m_xvfb->terminate();
        if (!m_xvfb->waitForFinished(3000))
            m_xvfb->kill();
    }
}

bool ServerDisplay::start(const QSize& size, QString& error)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        error = QStringLiteral("cannot make a pipe for Xvfb: %1")
                    .arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    fcntl(fds[1], F_SETFD, 0); // the write end goes to Xvfb
    m_xvfb = std::make_unique<XvfbProcess>();
    m_xvfb->setStandardOutputFile(QProcess::nullDevice());
    m_xvfb->start(QStringLiteral("Xvfb"),
        { QStringLiteral("-displayfd"), QString::number(fds[1]), QStringLiteral("-screen"),
            QStringLiteral("0"), QStringLiteral("%1x%2x24").arg(size.width()).arg(size.height()),
            QStringLiteral("-nolisten"), QStringLiteral("tcp") });
    close(fds[1]);
    const QByteArray number = m_xvfb->waitForStarted() ? readDisplayNumber(fds[0]) : QByteArray();
    close(fds[0]);
    if (number.isEmpty()) {
        m_xvfb->waitForFinished(100);
        error = QStringLiteral("Xvfb did not start: %1 %2")
                    .arg(m_xvfb->errorString(),
                        QString::fromLocal8Bit(m_xvfb->readAllStandardError()).trimmed());
        return false;
    }
    // What Xvfb says once it runs (such as the displays -displayfd found taken) is noise here.
    connect(m_xvfb.get(), &QProcess::readyReadStandardError, m_xvfb.get(),
        [this] { m_xvfb->readAllStandardError(); });
    m_xvfb->readAllStandardError();
    return connectTo(QLatin1Char(':') + QString::fromLatin1(number), error);
}

bool ServerDisplay::attach(const QString& name, QString& error) { return connectTo(name, error); }

bool ServerDisplay::connectTo(const QString& name, QString& error)
{
    m_display = XOpenDisplay(name.toLocal8Bit().constData());
    if (!m_display) {
        error = QStringLiteral("cannot open display %1").arg(name);
        return false;
    }
    m_name = name;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    int unused = 0;
    int xfixesMajor = 5;
    int xfixesMinor = 0;
    int xkbMajor = XkbMajorVersion;
    int xkbMinor = XkbMinorVersion;
    // XFixes answers nothing until a client said which version it speaks.
    if (!XDamageQueryExtension(m_display, &m_damageEvent, &errorBase)
        || !XFixesQueryExtension(m_display, &unused, &errorBase)
        || !XFixesQueryVersion(m_display, &xfixesMajor, &xfixesMinor)
        || !XShmQueryExtension(m_display)
        || !XTestQueryExtension(m_display, &unused, &errorBase, &major, &minor)
        || !XkbQueryExtension(m_display, &unused, &m_xkbEvent, &errorBase, &xkbMajor, &xkbMinor)) {
        error = QStringLiteral("display %1 lacks one of DAMAGE, XFIXES, MIT-SHM, XTEST, XKEYBOARD")
                    .arg(name);
        return false;
    }
    const int screen = DefaultScreen(m_display);
    Visual* visual = DefaultVisual(m_display, screen);
    m_size = QSize(DisplayWidth(m_display, screen), DisplayHeight(m_display, screen));
    m_image = std::make_unique<ScreenImage>();
    m_image->image = XShmCreateImage(m_display, visual, uint(DefaultDepth(m_display, screen)),
        ZPixmap, nullptr, &m_image->segment, uint(m_size.width()), uint(m_size.height()));
    // The device takes 32-bit xRGB as it is: anything else would need converting.
    if (!m_image->image || m_image->image->bits_per_pixel != 32
        || m_image->image->byte_order != LSBFirst || visual->red_mask != 0xff0000
        || visual->green_mask != 0xff00 || visual->blue_mask != 0xff) {
        error = QStringLiteral("display %1 is not 24-bit xRGB").arg(name);
        return false;
    }
    m_image->segment.shmid = shmget(IPC_PRIVATE,
        std::size_t(m_image->image->bytes_per_line) * std::size_t(m_size.height()),
        IPC_CREAT | 0600);
    m_image->segment.shmaddr = static_cast<char*>(shmat(m_image->segment.shmid, nullptr, 0));
    if (m_image->segment.shmaddr == reinterpret_cast<char*>(-1)) {
        m_image->segment.shmaddr = nullptr;
        shmctl(m_image->segment.shmid, IPC_RMID, nullptr);
        error = QStringLiteral("cannot share memory with display %1").arg(name);
        return false;
    }
    m_image->image->data = m_image->segment.shmaddr;
    m_image->attached = XShmAttach(m_display, &m_image->segment);
    XSync(m_display, False);
    // Marked for removal now that both sides hold it: it goes away with the last of them.
    shmctl(m_image->segment.shmid, IPC_RMID, nullptr);

    const Window root = DefaultRootWindow(m_display);
    m_damage = XDamageCreate(m_display, root, XDamageReportNonEmpty);
    m_region = XFixesCreateRegion(m_display, nullptr, 0);
    // The whole screen is new to whoever shows it.
    XRectangle whole { 0, 0, ushort(m_size.width()), ushort(m_size.height()) };
    XFixesSetRegion(m_display, m_region, &whole, 1);
    XDamageAdd(m_display, root, m_region);

    const char* lockNames[] = { "Caps Lock", "Num Lock", "Scroll Lock" };
    for (int i = 0; i < 3; ++i) {
        const Atom atom = XInternAtom(m_display, lockNames[i], False);
        if (!XkbGetNamedIndicator(m_display, atom, &m_lockIndicators[i], nullptr, nullptr, nullptr))
            m_lockIndicators[i] = -1;
    }
    XkbSelectEventDetails(m_display, XkbUseCoreKbd, XkbIndicatorStateNotify, XkbAllIndicatorsMask,
        XkbAllIndicatorsMask);

    m_notifier
        = std::make_unique<QSocketNotifier>(ConnectionNumber(m_display), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &ServerDisplay::readEvents);
    // Xlib buffers requests (the input played in too), and reads events into its queue whenever it
    // waits for a reply or flushes (XFlush reads too), where the socket notifier cannot see them.
    // Both are settled before the loop sleeps: first the flush, then what it and the rest queued.
    connect(QAbstractEventDispatcher::instance(thread()), &QAbstractEventDispatcher::aboutToBlock,
        this, [this] {
            XFlush(m_display);
            if (XEventsQueued(m_display, QueuedAlready))
                readEvents();
        });
    // The lights as they are, once the loop runs and whoever follows them is connected.
    QMetaObject::invokeMethod(this, &ServerDisplay::readLocks, Qt::QueuedConnection);
    return true;
}

void ServerDisplay::readEvents()
{
    bool damage = false;
    bool locks = false;
    while (XPending(m_display)) {
        XEvent event;
        XNextEvent(m_display, &event);
        if (event.type == m_damageEvent + XDamageNotify)
            damage = true;
        else if (event.type == m_xkbEvent
            && reinterpret_cast<XkbEvent*>(&event)->any.xkb_type == XkbIndicatorStateNotify)
            locks = true;
    }
    if (locks)
        readLocks();
    if (damage) {
        m_damaged = true;
        Q_EMIT damaged();
    }
    // The handlers' round trips queue further events: they are read on the next turn of the
    // loop, after whatever else is due, so that a busy screen cannot starve the SPICE sockets.
    if (XEventsQueued(m_display, QueuedAlready))
        QMetaObject::invokeMethod(this, &ServerDisplay::readEvents, Qt::QueuedConnection);
}

void ServerDisplay::readLocks()
{
    unsigned int state = 0;
    XkbGetIndicatorState(m_display, XkbUseCoreKbd, &state);
    auto lit = [state](int indicator) { return indicator >= 0 && (state & (1u << indicator)); };
    Q_EMIT locksChanged(
        lit(m_lockIndicators[0]), lit(m_lockIndicators[1]), lit(m_lockIndicators[2]));
}

QVector<QRect> ServerDisplay::takeDamage()
{
    m_damaged = false;
    // Moves the damage into the region and leaves the damage object empty: the next change
    // reports itself again.
    XDamageSubtract(m_display, m_damage, None, m_region);
    int count = 0;
    XRectangle bounds;
    XRectangle* rects = XFixesFetchRegionAndBounds(m_display, m_region, &count, &bounds);
    const QRect screen(QPoint(), m_size);
    QVector<QRect> damage;
    if (count > maxDamageRects) {
        damage.append(QRect(bounds.x, bounds.y, bounds.width, bounds.height) & screen);
    } else {
        for (int i = 0; i < count; ++i) {
            const QRect rect
                = QRect(rects[i].x, rects[i].y, rects[i].width, rects[i].height) & screen;
            if (!rect.isEmpty())
                damage.append(rect);
        }
    }
    if (rects)
        XFree(rects);
    return damage;
}

bool ServerDisplay::grab(const QRect& rect, uchar* bits, int stride)
{
    if (!QRect(QPoint(), m_size).contains(rect))
        return false;
    // XShmGetImage reads image->width x image->height pixels: narrowed to the rectangle, its rows
    // land in the segment back to back.
    XImage* image = m_image->image;
    image->width = rect.width();
    image->height = rect.height();
    image->bytes_per_line = rect.width() * 4;
    if (!XShmGetImage(
            m_display, DefaultRootWindow(m_display), image, rect.x(), rect.y(), AllPlanes))
        return false;
    const int rowBytes = rect.width() * 4;
    if (stride == rowBytes) {
        std::memcpy(bits, image->data, std::size_t(rowBytes) * std::size_t(rect.height()));
    } else {
        for (int y = 0; y < rect.height(); ++y)
            std::memcpy(bits + y * stride, image->data + y * rowBytes, std::size_t(rowBytes));
    }
    return true;
}

void ServerDisplay::movePointer(const QPoint& position)
{
    XTestFakeMotionEvent(
        m_display, DefaultScreen(m_display), position.x(), position.y(), CurrentTime);
}

void ServerDisplay::setButtons(Qt::MouseButtons buttons)
{
    static constexpr struct
    {
        Qt::MouseButton qt;
        unsigned int x;
    } map[] = { { Qt::LeftButton, 1 }, { Qt::MiddleButton, 2 }, { Qt::RightButton, 3 } };
    for (const auto& button : map) {
        if (buttons.testFlag(button.qt) != m_buttons.testFlag(button.qt))
            XTestFakeButtonEvent(m_display, button.x, buttons.testFlag(button.qt), CurrentTime);
    }
    m_buttons = buttons;
}

void ServerDisplay::turnWheel(int steps)
{
    const unsigned int button = steps > 0 ? 4 : 5;
    for (int i = 0; i < qAbs(steps); ++i) {
        XTestFakeButtonEvent(m_display, button, True, CurrentTime);
        XTestFakeButtonEvent(m_display, button, False, CurrentTime);
    }
}

void ServerDisplay::pressKey(int scanCode, bool pressed)
{
    // Xvfb's keymap numbers keys as evdev does.
    const int keycode = int(ScanCodes::toKeycode(quint32(scanCode)));
    if (keycode == 0)
        return;
    XTestFakeKeyEvent(m_display, uint(keycode), pressed, CurrentTime);
}
