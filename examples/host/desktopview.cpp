#include "desktopview.h"

#include "spicedesktop.h"
#include "spiceinputs.h"

#include <QQuickWindow>
#include <QSGImageNode>
#include <QtMath>

namespace {

// A wheel's notch, in the eighths of a degree of QWheelEvent::angleDelta().
constexpr int wheelStep = 120;

} // namespace

DesktopView::DesktopView(QQuickItem* parent)
    : QQuickItem(parent)
{
    setFlag(ItemHasContents);
    watchAncestors();
}

void DesktopView::setDesktop(SpiceDesktop* desktop, SpiceInputs* inputs)
{
    m_desktop = desktop;
    m_inputs = inputs;
    // Input is taken from here on, and painting starts.
    setAcceptedMouseButtons(Qt::AllButtons);
    setAcceptHoverEvents(true);
    connect(desktop, &SpiceDesktop::sizeChanged, this, &DesktopView::onSizeChanged);
    connect(desktop, &SpiceDesktop::changed, this, &QQuickItem::update);
    onSizeChanged(desktop->image().size());
}

QPoint DesktopView::origin() const { return mapToScene(QPointF()).toPoint(); }

QSGNode* DesktopView::updatePaintNode(QSGNode* old, UpdatePaintNodeData*)
{
    const QImage image = m_desktop ? m_desktop->image() : QImage();
    if (image.isNull()) {
        delete old;
        return nullptr;
    }
    auto* node = static_cast<QSGImageNode*>(old);
    if (!node) {
        node = window()->createImageNode();
        node->setOwnsTexture(true);
    }
    node->setTexture(window()->createTextureFromImage(image));
    node->setRect(0, 0, image.width(), image.height());
    return node;
}

void DesktopView::onSizeChanged(const QSize& size)
{
    setImplicitSize(size.width(), size.height());
    update();
}

// Scrolling moves an ancestor (the Flickable's content item), not this item: every item up to
// the root is watched, and watched again when one of them changes its parent.
void DesktopView::watchAncestors()
{
    for (const QMetaObject::Connection& connection : qAsConst(m_ancestors))
        disconnect(connection);
    m_ancestors.clear();
    for (QQuickItem* item = this; item; item = item->parentItem()) {
        m_ancestors << connect(item, &QQuickItem::xChanged, this, &DesktopView::originChanged)
                    << connect(item, &QQuickItem::yChanged, this, &DesktopView::originChanged)
                    << connect(item, &QQuickItem::parentChanged, this, &DesktopView::watchAncestors,
                           Qt::QueuedConnection);
    }
    Q_EMIT originChanged();
}

void DesktopView::moveTo(const QPointF& position)
{
    const QSize size = m_desktop->image().size();
    if (size.isEmpty())
        return;
    // A held button keeps the pointer here when it leaves the item: the desktop's edge it is.
    m_inputs->moveTo(QPoint(qBound(0, qFloor(position.x()), size.width() - 1),
        qBound(0, qFloor(position.y()), size.height() - 1)));
}

void DesktopView::mousePressEvent(QMouseEvent* event)
{
    forceActiveFocus(Qt::MouseFocusReason);
    moveTo(event->localPos());
    m_inputs->press(event->button());
}

void DesktopView::mouseMoveEvent(QMouseEvent* event) { moveTo(event->localPos()); }

void DesktopView::mouseReleaseEvent(QMouseEvent* event)
{
    moveTo(event->localPos());
    m_inputs->release(event->button());
}

void DesktopView::hoverMoveEvent(QHoverEvent* event) { moveTo(event->posF()); }

void DesktopView::wheelEvent(QWheelEvent* event)
{
    // Fine-grained wheels and touchpads deliver a notch in parts.
    m_wheel += event->angleDelta().y();
    const int steps = m_wheel / wheelStep;
    m_wheel -= steps * wheelStep;
    if (steps)
        m_inputs->scroll(steps);
}

void DesktopView::keyPressEvent(QKeyEvent* event)
{
    const quint32 scanCode = SpiceInputs::scanCode(event->nativeScanCode());
    if (!scanCode) {
        event->ignore();
        return;
    }
    m_inputs->pressKey(scanCode);
}

void DesktopView::keyReleaseEvent(QKeyEvent* event)
{
    // A held key repeats as presses alone, like a keyboard's.
    if (event->isAutoRepeat())
        return;
    const quint32 scanCode = SpiceInputs::scanCode(event->nativeScanCode());
    if (!scanCode) {
        event->ignore();
        return;
    }
    m_inputs->releaseKey(scanCode);
}

void DesktopView::focusOutEvent(QFocusEvent* event)
{
    // Keys and buttons released elsewhere would stay held on the server.
    m_inputs->releaseAll();
    QQuickItem::focusOutEvent(event);
}
