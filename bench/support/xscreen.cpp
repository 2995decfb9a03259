#include "xscreen.h"

#include <QFile>
#include <QProcess>
#include <QThread>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

XScreen::XScreen(const QByteArray& name)
    : m_display(XOpenDisplay(name.constData()))
{
    if (!m_display)
        return;
    m_root = DefaultRootWindow(m_display);
    m_gc = XCreateGC(m_display, m_root, 0, nullptr);
}

XScreen::~XScreen()
{
    if (!m_display)
        return;
    XFreeGC(m_display, static_cast<GC>(m_gc));
    XCloseDisplay(m_display);
}

QSize XScreen::size() const
{
    const int screen = DefaultScreen(m_display);
    return QSize(DisplayWidth(m_display, screen), DisplayHeight(m_display, screen));
}

QRgb XScreen::pixel(int x, int y) const
{
    XImage* image = XGetImage(m_display, m_root, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image)
        return 0;
    const QRgb value = QRgb(XGetPixel(image, 0, 0)) | 0xff000000u;
    XDestroyImage(image);
    return value;
}

QImage XScreen::grab(const QRect& rect) const
{
    XImage* image = XGetImage(m_display, m_root, rect.x(), rect.y(), uint(rect.width()),
        uint(rect.height()), AllPlanes, ZPixmap);
    if (!image)
        return QImage();
    // Xvfb's 24-bit screens keep 32 bits a pixel, as QImage's RGB32 does.
    const QImage copy = QImage(reinterpret_cast<const uchar*>(image->data), rect.width(),
        rect.height(), image->bytes_per_line, QImage::Format_RGB32)
                            .copy();
    XDestroyImage(image);
    return copy;
}

void XScreen::fill(const QRect& rect, QRgb colour)
{
    const auto gc = static_cast<GC>(m_gc);
    XSetForeground(m_display, gc, colour & 0xffffffu);
    XFillRectangle(
        m_display, m_root, gc, rect.x(), rect.y(), uint(rect.width()), uint(rect.height()));
    XSync(m_display, False);
}

void XScreen::put(const QImage& image, const QPoint& at)
{
    QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    XImage* ximage = XCreateImage(m_display, DefaultVisual(m_display, DefaultScreen(m_display)), 24,
        ZPixmap, 0, reinterpret_cast<char*>(rgb.bits()), uint(rgb.width()), uint(rgb.height()), 32,
        int(rgb.bytesPerLine()));
    XPutImage(m_display, m_root, static_cast<GC>(m_gc), ximage, 0, 0, at.x(), at.y(),
        uint(rgb.width()), uint(rgb.height()));
    XSync(m_display, False);
    ximage->data = nullptr; // the QImage's
    XDestroyImage(ximage);
}

QByteArray startXvfb(QProcess& process, const QSize& size)
{
    int number = 90;
    while (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
        ++number;
    const QByteArray name = ':' + QByteArray::number(number);
    process.start(QStringLiteral("Xvfb"),
        { QString::fromLatin1(name), QStringLiteral("-screen"), QStringLiteral("0"),
            QStringLiteral("%1x%2x24").arg(size.width()).arg(size.height()),
            QStringLiteral("-nolisten"), QStringLiteral("tcp"), QStringLiteral("-noreset") });
    for (int waited = 0; waited < 10000 && process.state() != QProcess::NotRunning; waited += 50) {
        if (XScreen(name).isOpen())
            return name;
        QThread::msleep(50);
    }
    return QByteArray();
}

bool sameColour(QRgb a, QRgb b, int tolerance)
{
    return qAbs(qRed(a) - qRed(b)) <= tolerance && qAbs(qGreen(a) - qGreen(b)) <= tolerance
        && qAbs(qBlue(a) - qBlue(b)) <= tolerance;
}
