#ifndef H5MEMORYUTIL_H
#define H5MEMORYUTIL_H

#include "h5redir_export.h"

#include <QSemaphore>
#include <QThread>

#include <atomic>

/*!
 * Watches the client's memory about once a second while players exist, and applies the client's
 * volume and mute state to the host process's audio.
 *
 * The object belongs to the thread that creates it (its slots run there); only run() and the
 * external commands it starts run on the worker thread. The stop request, volume and mute state
 * are atomics shared between the two; a stop also ends the pause between two cycles at once.
 */
class H5REDIR_EXPORT H5MemoryUtil : public QThread
{
    Q_OBJECT

public:
    explicit H5MemoryUtil(qint64 nMemLimit, QObject *parent = nullptr);

Q_SIGNALS:
    // Memory stayed below the limit for five consecutive cycles.
    void signalMemoryLessLimit();

public Q_SLOTS:
    void onSetStop();
    void onSetVol(quint16 vol);
    void onSetMute(bool bMute);

public:
    qint64 getFreeMemory();
    // Sets the volume of the host's audio streams; run on every cycle, since it sets the value
    // outright and so also reaches streams that appeared since the last cycle.
    void setVol();
    // Applies the mute state when it differs from the one last applied (and on the first cycle).
    // The muting command toggles, so repeating it every cycle would flip the streams each second.
    void setMute();

protected:
    void run() override;

private:
    const qint64 m_nMemLimit;
    std::atomic<bool> m_bStop { false };
    // Released by every stop request; the pause between two cycles waits on it.
    QSemaphore m_stopRequested;
    std::atomic<bool> m_bMute { false };
    std::atomic<quint16> m_nVol { 77 };
    // The mute state the worker applied last; -1 until the first cycle. Worker thread only.
    int m_nAppliedMute = -1;

    Q_DISABLE_COPY(H5MemoryUtil)
};

#endif // H5MEMORYUTIL_H
