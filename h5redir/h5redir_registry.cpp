#include "h5redir.h"
#include "h5log.h"

#include <QMutexLocker>

#include <algorithm>

namespace {

// The first record of the tab, or end(): lookups act on the first match in creation order.
QList<BRData>::iterator findRecord(QList<BRData> &list, int tabid)
{
    return std::find_if(list.begin(), list.end(),
                        [tabid](const BRData &record) { return record.tabid == tabid; });
}

} // namespace

QQuickWindow *H5redir::GetBRWindowById(int tabid)
{
    QMutexLocker locker(&m_mutex);
    const auto it = findRecord(m_listBRData, tabid);
    return it == m_listBRData.end() ? nullptr : it->window;
}

void H5redir::SaveVisibleInBRData(int tabid, bool bIsVisible)
{
    QMutexLocker locker(&m_mutex);
    const auto it = findRecord(m_listBRData, tabid);
    if (it != m_listBRData.end())
        it->bIsVisible = bIsVisible;
}

bool H5redir::IsVisibleTab(int tabid)
{
    QMutexLocker locker(&m_mutex);
    const auto it = findRecord(m_listBRData, tabid);
    return it != m_listBRData.end() && it->bIsVisible;
}

void H5redir::SaveWindowInBRData(int tabid, QQuickWindow *window)
{
    QMutexLocker locker(&m_mutex);
    const auto it = findRecord(m_listBRData, tabid);
    if (it != m_listBRData.end())
        it->window = window;
}

void H5redir::SavePosInBRData(int tabid, int x, int y, int w, int h)
{
    QMutexLocker locker(&m_mutex);
    const auto it = findRecord(m_listBRData, tabid);
    if (it == m_listBRData.end())
        return;
    it->x = x;
    it->y = y;
    it->w = w;
    it->h = h;
}

QQuickWindow *H5redir::GetBRDataInClip(int tabid, int &x, int &y, int &w, int &h)
{
    QMutexLocker locker(&m_mutex);
    const auto it = findRecord(m_listBRData, tabid);
    if (it == m_listBRData.end())
        return nullptr;
    x = it->x;
    y = it->y;
    w = it->w;
    h = it->h;
    return it->window;
}

void H5redir::DelBRDataInfoById(int tabid)
{
    QMutexLocker locker(&m_mutex);
    const auto it = findRecord(m_listBRData, tabid);
    if (it == m_listBRData.end())
        return;
    H5_DEBUG << "H5" << "DelBRDataInfoById" << "Del the br info ,tabid :" << tabid;
    emit h5DestroyPlayer(tabid);
    m_listBRData.erase(it);
}

void H5redir::DelAllBRData()
{
    QMutexLocker locker(&m_mutex);
    if (m_listBRData.isEmpty()) {
        H5_DEBUG << "H5" << "DelAllBRData" << "m_listBRData is null";
        return;
    }
    while (!m_listBRData.isEmpty()) {
        emit h5DestroyPlayer(m_listBRData.constFirst().tabid);
        m_listBRData.removeFirst();
    }
}

bool H5redir::IsNoBRData()
{
    QMutexLocker locker(&m_mutex);
    return m_listBRData.isEmpty();
}
