#ifndef DESKTOPVIEW_H
#define DESKTOPVIEW_H

#include <QQuickItem>

class SpiceDesktop;
class SpiceInputs;

/*!
 * The remote desktop in the main window (QML type DesktopView): SpiceDesktop's picture, one
 * server pixel per logical pixel, and where the user's pointer, wheel and keys are taken and sent
 * through SpiceInputs in desktop coordinates.
 *
 * Its implicit size is the desktop's; without a desktop it is empty and draws nothing, so what
 * lies beneath shows. originChanged() follows its top-left in the window (scrolling, layout):
 * where the server's rectangles start. The desktop and the inputs are the caller's, and must
 * outlive the item.
 */
class DesktopView : public QQuickItem
{
    Q_OBJECT

public:
    explicit DesktopView(QQuickItem* parent = nullptr);

    void setDesktop(SpiceDesktop* desktop, SpiceInputs* inputs);
    // The desktop's top-left in the window, in logical pixels.
    QPoint origin() const;

Q_SIGNALS:
    void originChanged();

protected:
    QSGNode* updatePaintNode(QSGNode* old, UpdatePaintNodeData* data) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void hoverMoveEvent(QHoverEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void onSizeChanged(const QSize& size);
    void watchAncestors();
    void moveTo(const QPointF& position);

    SpiceDesktop* m_desktop = nullptr;
    SpiceInputs* m_inputs = nullptr;
    QVector<QMetaObject::Connection> m_ancestors;
    int m_wheel = 0; // eighths of a degree not yet sent as a step
};

#endif // DESKTOPVIEW_H
