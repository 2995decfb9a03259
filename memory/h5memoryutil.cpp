#include "h5memoryutil.h"

#include "freememory.h"
#include "h5log.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>

#include <cstdlib>

namespace {

constexpr int lowCyclesToStop = 5;
constexpr int pauseMs = 1000;

// Starts h5setvol.sh from the host application's directory, detached, with the given arguments.
// The program path is passed whole rather than split out of one command line, so a directory
// with spaces or shell characters in its name can never start anything but the script.
void startVolumeScript(const QString &arguments)
{
    const QString program = QCoreApplication::applicationDirPath() + QLatin1String("/h5setvol.sh");
    QProcess::startDetached(program, arguments.split(QLatin1Char(' ')));
}

} // namespace

H5MemoryUtil::H5MemoryUtil(qint64 nMemLimit, QObject *parent)
    : QThread(parent)
    , m_nMemLimit(nMemLimit)
{
}

void H5MemoryUtil::onSetStop()
{
    H5_DEBUG << "onSetStop" << "";
    m_bStop = true;
    m_stopRequested.release();
}

void H5MemoryUtil::onSetVol(quint16 vol)
{
    H5_DEBUG << "onSetVol" << "sync vol:" << vol;
    m_nVol = vol;
}

void H5MemoryUtil::onSetMute(bool bMute)
{
    H5_DEBUG << "onSetMute" << "sync mute:" << bMute;
    m_bMute = bMute;
}

qint64 H5MemoryUtil::getFreeMemory()
{
    const qint64 total = readFreeMemory().total();
    H5_DEBUG << "getFreeMemory" << "avail memory:" << total << " M";
    // A local browser started beside the redirected players would compete with them for memory.
    const int ignored = std::system("pkill firefox");
    Q_UNUSED(ignored)
    H5_DEBUG << "prevent firefox start.";
    return total;
}

void H5MemoryUtil::setVol()
{
    startVolumeScript(QStringLiteral("%1 set-sink-input-volume %2%")
                              .arg(QCoreApplication::applicationPid())
                              .arg(m_nVol.load()));
}

void H5MemoryUtil::setMute()
{
    const bool bMute = m_bMute;
    if (m_nAppliedMute == int(bMute))
        return;
    m_nAppliedMute = int(bMute);
    startVolumeScript(bMute ? QStringLiteral("%1 set-sink-input-mute toggle")
                                      .arg(QCoreApplication::applicationPid())
                            : QStringLiteral("%1 set-sink-input-mute false")
                                      .arg(QCoreApplication::applicationPid()));
}

void H5MemoryUtil::run()
{
    H5_DEBUG << "run" << "";
    if (m_bStop)
        return;

    int nLowCycles = 0;
    forever {
        setVol();
        setMute();
        if (getFreeMemory() < m_nMemLimit) {
            H5_CRITICAL << "run" << "free memory less than:" << m_nMemLimit << " times:"
                        << nLowCycles;
            if (++nLowCycles == lowCyclesToStop) {
                H5_CRITICAL << "run" << "free memory less than:" << m_nMemLimit << " up to 5s,"
                            << "so stop all Br Redir";
                emit signalMemoryLessLimit();
                m_bStop = true;
            }
        } else {
            nLowCycles = 0;
        }
        // A semaphore rather than a wait condition: a stop released while a cycle still runs is
        // kept for the pause that follows, so nothing is lost between the flag's check and the
        // wait, and the flag itself needs no lock. The caller stopping us then waits for the
        // cycle's own commands only, not for the rest of a second.
        m_stopRequested.tryAcquire(1, pauseMs);
        if (m_bStop)
            return;
    }
}
