#include "h5redir.h"
#include "h5log.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegion>

namespace {

// Server geometry is taken as it comes, so an edge can lie anywhere in the int range, where
// QRect's own arithmetic (right = left + width - 1) would overflow. Edges are computed wide and
// held within a bound far beyond any window, which leaves every real intersection as it was.
constexpr qint64 edgeBound = qint64(1) << 30;

QRect serverRect(qint64 left, qint64 top, qint64 width, qint64 height)
{
    const auto held = [](qint64 edge) { return int(qBound(-edgeBound, edge, edgeBound)); };
    return QRect(QPoint(held(left), held(top)),
                 QPoint(held(left + width - 1), held(top + height - 1)));
}

} // namespace

void H5redir::ClipWindow(int tabid, const QJsonArray &rects)
{
    if (tabid == -1 || !m_pZorvWindow) {
        H5_CRITICAL << "H5" << "ClipWindow" << "invalid data";
        return;
    }

    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    QQuickWindow *window = GetBRDataInClip(tabid, x, y, w, h);
    if (!window) {
        H5_CRITICAL << "H5" << "ClipWindow" << "get br data fail";
        return;
    }

    // Every command starts again from the whole player: a shorter list uncovers what an earlier
    // one cut away.
    QRegion videoRgn(serverRect(0, 0, w, h));
    bool bHide = false;
    for (const QJsonValue &value : rects) {
        const QJsonObject rect = value.toObject();
        // Server rectangles share the coordinate space of the player position.
        const QRect r = serverRect(qint64(rect.value(QLatin1String("left")).toInt(0)) - x,
                                   qint64(rect.value(QLatin1String("top")).toInt(0)) - y,
                                   rect.value(QLatin1String("width")).toInt(0),
                                   rect.value(QLatin1String("height")).toInt(0));
        if (!videoRgn.intersects(r)) {
            H5_DEBUG << "H5" << "ClipWindow" << "ignore rect";
            continue;
        }
        if (videoRgn.intersected(r) == videoRgn) {
            // Nothing would be left to show: hiding is cheaper than an empty mask.
            H5_DEBUG << "H5" << "ClipWindow" << "set to hide window";
            bHide = true;
            break;
        }
        videoRgn = videoRgn.subtracted(QRegion(r));
    }
    H5_DEBUG << "H5" << "ClipWindow" << "final videoRgn:" << videoRgn;

    if (!bHide)
        window->setMask(videoRgn);
    // The hide decision is not stored, so the next clip that leaves video uncovered shows the
    // player again, as far as the server's own visibility allows.
    if (IsVisibleTab(tabid))
        emit h5SetPlayerVisibility(tabid, !bHide);
}
