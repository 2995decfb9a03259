#include "h5redir.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegion>

void H5redir::ClipWindow(int tabid, const QJsonArray &rects)
{
    if (tabid == -1 || !m_pZorvWindow) {
        qCritical() << "H5" << "ClipWindow" << "invalid data";
        return;
    }

    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    QQuickWindow *window = GetBRDataInClip(tabid, x, y, w, h);
    if (!window) {
        qCritical() << "H5" << "ClipWindow" << "get br data fail";
        return;
    }

    // Every command starts again from the whole player: a shorter list uncovers what an earlier
    // one cut away.
    QRegion videoRgn(0, 0, w, h);
    bool bHide = false;
    for (const QJsonValue &value : rects) {
        const QJsonObject rect = value.toObject();
        // Server rectangles share the coordinate space of the player position.
        const QRect r(rect.value(QLatin1String("left")).toInt(0) - x,
                      rect.value(QLatin1String("top")).toInt(0) - y,
                      rect.value(QLatin1String("width")).toInt(0),
                      rect.value(QLatin1String("height")).toInt(0));
        if (!videoRgn.intersects(r)) {
            qDebug() << "H5" << "ClipWindow" << "ignore rect";
            continue;
        }
        if (videoRgn.intersected(r) == videoRgn) {
            // Nothing would be left to show: hiding is cheaper than an empty mask.
            qDebug() << "H5" << "ClipWindow" << "set to hide window";
            bHide = true;
            break;
        }
        videoRgn = videoRgn.subtracted(QRegion(r));
    }
    qDebug() << "H5" << "ClipWindow" << "final videoRgn:" << videoRgn;

    if (!bHide)
        window->setMask(videoRgn);
    // The hide decision is not stored, so the next clip that leaves video uncovered shows the
    // player again, as far as the server's own visibility allows.
    if (IsVisibleTab(tabid))
        emit h5SetPlayerVisibility(tabid, !bHide);
}
