#include "xwindowstack.h"

#include <QSocketNotifier>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdlib>

namespace {

QVector<Display*> ownDisplays;
XErrorHandler previousHandler = nullptr;

// Windows vanish between listing them and asking about them, so BadWindow is an everyday answer
// here; Xlib's default handler would end the process for it. The handler is process-wide: errors
// of other connections go on to the handler that was there before.
int ignoreOwnErrors(Display* display, XErrorEvent* event)
{
    if (ownDisplays.contains(display))
        return 0;
    return previousHandler ? previousHandler(display, event) : 0;
}

struct Tree
{
    Window parent = 0;
    QVector<Window> children; // bottom to top
};

Tree queryTree(Display* display, Window window)
{
    Tree tree;
    Window root = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, window, &root, &tree.parent, &children, &count))
        return tree;
    tree.children.reserve(int(count));
    for (unsigned int i = 0; i < count; ++i)
        tree.children.append(children[i]);
    if (children)
        XFree(children);
    return tree;
}

int distance(const QRect& a, const QRect& b)
{
    return std::abs(a.left() - b.left()) + std::abs(a.top() - b.top())
        + std::abs(a.width() - b.width()) + std::abs(a.height() - b.height());
}

} // namespace

XWindowStack::XWindowStack(QObject* parent)
    : QObject(parent)
{
}

XWindowStack::~XWindowStack()
{
    if (m_display) {
        ownDisplays.removeAll(m_display);
        XCloseDisplay(m_display);
    }
}

bool XWindowStack::open(const QString& display)
{
    m_display = XOpenDisplay(display.toLocal8Bit().constData());
    if (!m_display)
        return false;
    if (!previousHandler)
        previousHandler = XSetErrorHandler(ignoreOwnErrors);
    ownDisplays.append(m_display);
    m_root = DefaultRootWindow(m_display);
    m_pidAtom = XInternAtom(m_display, "_NET_WM_PID", False);
    // Every map, unmap, move, resize and restack of a top-level window, the browser's own
    // included, arrives as an event, and so does a new size of the screen: nothing needs polling.
    XSelectInput(m_display, m_root, SubstructureNotifyMask | StructureNotifyMask);
    XFlush(m_display);
    m_notifier = new QSocketNotifier(ConnectionNumber(m_display), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &XWindowStack::readEvents);
    readLater();
    return true;
}

QRect XWindowStack::screen() const
{
    XWindowAttributes attributes;
    const bool known = XGetWindowAttributes(m_display, m_root, &attributes);
    readLater();
    return known ? QRect(0, 0, attributes.width, attributes.height) : QRect();
}

XWindowStack::WindowId XWindowStack::findWindow(qint64 pid, const QRect& bounds) const
{
    WindowId best = 0;
    int bestDistance = 0;
    const auto consider = [&](Window window) {
        if (processOf(window) != pid)
            return;
        const Placement candidate = placement(window);
        const int d = distance(candidate.geometry, bounds);
        if (candidate.viewable && (!best || d < bestDistance)) {
            best = window;
            bestDistance = d;
        }
    };
    for (const Window top : queryTree(m_display, m_root).children) {
        consider(top);
        for (const Window child : queryTree(m_display, top).children)
            consider(child);
    }
    readLater();
    return best;
}

XWindowStack::Placement XWindowStack::placement(WindowId window) const
{
    Placement placement;
    XWindowAttributes attributes;
    int x = 0;
    int y = 0;
    Window child = 0;
    if (!window || !XGetWindowAttributes(m_display, window, &attributes)
        || !XTranslateCoordinates(m_display, window, m_root, 0, 0, &x, &y, &child)) {
        readLater();
        return placement;
    }
    placement.geometry = QRect(x, y, attributes.width, attributes.height);
    placement.viewable = attributes.map_state == IsViewable;

    // A window's place in the stack is that of its top-level ancestor, which is a window
    // manager's frame when there is one.
    Window top = window;
    for (Tree tree = queryTree(m_display, top); tree.parent && tree.parent != m_root;
         tree = queryTree(m_display, top))
        top = tree.parent;
    const QVector<Window> stack = queryTree(m_display, m_root).children;
    for (int i = stack.indexOf(top) + 1; i > 0 && i < stack.size(); ++i) {
        XWindowAttributes over;
        if (XGetWindowAttributes(m_display, stack.at(i), &over) && over.map_state == IsViewable
            && over.c_class == InputOutput)
            placement.above.append(QRect(over.x, over.y, over.width + 2 * over.border_width,
                over.height + 2 * over.border_width));
    }
    readLater();
    return placement;
}

qint64 XWindowStack::processOf(WindowId window) const
{
    Atom type = 0;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    qint64 pid = -1;
    if (XGetWindowProperty(m_display, window, m_pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
            &count, &after, &data)
            == Success
        && data) {
        // Format 32 properties come back as longs, whatever the size of a long.
        if (format == 32 && count == 1)
            pid = qint64(*reinterpret_cast<unsigned long*>(data));
        XFree(data);
    }
    return pid;
}

void XWindowStack::readEvents()
{
    bool any = false;
    while (XPending(m_display)) {
        XEvent event;
        XNextEvent(m_display, &event);
        any = true;
    }
    if (any)
        Q_EMIT changed();
}

void XWindowStack::readLater() const
{
    // Xlib reads events into its queue while it waits for a reply, and then the socket stays
    // quiet: look at the queue once control is back in the event loop.
    if (XEventsQueued(m_display, QueuedAlready) > 0)
        QMetaObject::invokeMethod(
            const_cast<XWindowStack*>(this), &XWindowStack::readEvents, Qt::QueuedConnection);
}
