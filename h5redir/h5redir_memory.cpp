#include "h5redir.h"

#include "freememory.h"
#include "h5memoryutil.h"

#include <QDebug>
#include <QMutexLocker>

namespace {

constexpr qint64 lowThresholdMiB = 150;
constexpr qint64 normalThresholdMiB = 400;
constexpr qint64 monitorLimitMiB = 20;
constexpr int lowMemoryErrorType = 2;

} // namespace

bool H5redir::IsMemoryAllow(bool bLowThreshold)
{
    const FreeMemoryReading reading = readFreeMemory();
    if (reading.hasAvailable)
        qCritical() << "H5" << "IsMemoryAllow" << "IsMemoryAllow" << "avail memory:" << reading.available;
    if (reading.hasSwap)
        qCritical() << "H5" << "IsMemoryAllow" << "IsMemoryAllow" << "avail swap:" << reading.swap;
    const qint64 total = reading.total();
    qCritical() << "H5" << "IsMemoryAllow" << "IsMemoryAllow" << "total avail:" << total;
    return total >= (bLowThreshold ? lowThresholdMiB : normalThresholdMiB);
}

void H5redir::StartMemoryThread()
{
    qDebug() << "H5" << "StartMemoryThread" << "";
    m_pMemoryUtil = new H5MemoryUtil(monitorLimitMiB, nullptr);
    connect(m_pMemoryUtil, &H5MemoryUtil::signalMemoryLessLimit, this, &H5redir::onMemoryLessLimit);
    connect(this, &H5redir::signalSetStop2Memory, m_pMemoryUtil, &H5MemoryUtil::onSetStop);
    connect(this, &H5redir::signalSetVol, m_pMemoryUtil, &H5MemoryUtil::onSetVol);
    connect(this, &H5redir::signalSetMute, m_pMemoryUtil, &H5MemoryUtil::onSetMute);
    connect(m_pMemoryUtil, &QThread::finished, m_pMemoryUtil, &QObject::deleteLater);
    m_pMemoryUtil->start(QThread::InheritPriority);
}

void H5redir::StopMemoryThread()
{
    if (!m_pMemoryUtil)
        return;
    qDebug() << "H5" << "StopMemoryThread" << "";
    emit signalSetStop2Memory();
    m_pMemoryUtil->quit();
    m_pMemoryUtil->wait();
    // The monitor deletes itself once its finished() reaches this thread's event loop.
    m_pMemoryUtil = nullptr;
}

void H5redir::onMemoryLessLimit()
{
    qDebug() << "H5" << "onMemoryLessLimit" << "";
    {
        QMutexLocker locker(&m_mutex);
        while (!m_listBRData.isEmpty()) {
            const int tabid = m_listBRData.constFirst().tabid;
            qDebug() << "H5" << "onMemoryLessLimit" << "Del the br info ,tabid :" << tabid;
            emit h5DestroyPlayer(tabid);
            onRedirectError(tabid, lowMemoryErrorType);
            m_listBRData.removeFirst();
        }
    }
    emit h5SetRedirectState(false);
    StopMemoryThread();
}

void H5redir::PlaybackMuteChange(bool bMute)
{
    if (bMute == m_bMute)
        return;
    qDebug() << "H5" << "PlaybackMuteChange" << "system mute is change to:" << bMute;
    m_bMute = bMute;
    if (m_pMemoryUtil)
        emit signalSetMute(bMute);
}

void H5redir::PlaybackVolumeChange(quint16 vol)
{
    if (vol == m_nVol)
        return;
    qDebug() << "H5" << "PlaybackVolumeChange" << "system vol is change to:" << vol;
    m_nVol = vol;
    if (m_pMemoryUtil)
        emit signalSetVol(vol);
}
