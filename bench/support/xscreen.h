#ifndef XSCREEN_H
#define XSCREEN_H

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QRect>

#include <memory>

typedef struct _XDisplay Display;
class QProcess;

/*!
 * One connection to an X display, for the benchmarks that look at what a user sees: reads pixels
 * of the root window and draws on it. Owns the connection; the display itself is the caller's.
 * Every call returns once the X server has done it (a round trip each).
 */
class XScreen
{
public:
    explicit XScreen(const QByteArray& name);
    ~XScreen();
    Q_DISABLE_COPY(XScreen)

    bool isOpen() const { return m_display != nullptr; }
    QSize size() const;
    QRgb pixel(int x, int y) const;
    QImage grab(const QRect& rect) const;
    void fill(const QRect& rect, QRgb colour);
    void put(const QImage& image, const QPoint& at);

private:
    Display* m_display = nullptr;
    unsigned long m_root = 0;
    void* m_gc = nullptr;
};

// Starts Xvfb at the first free display number with one screen of `size`, kept as it is when
// its last client leaves; the display's name
// (":N"), or empty when it did not come up. The process is the caller's to end.
QByteArray startXvfb(QProcess& process, const QSize& size);

// Whether two colours differ by at most `tolerance` in every channel.
bool sameColour(QRgb a, QRgb b, int tolerance = 8);

#endif // XSCREEN_H
