// The memory monitor in real time: five low cycles stop all redirection, a good reading breaks the
// run, every cycle ends local firefox processes, and the volume script follows the host's
// settings. Each test waits several one-second cycles.
#include <h5redir/h5memoryutil.h>
#include <h5redir/h5redir.h>
#include "logcapture.h"
#include "redirtesting.h"
#include "standins.h"

#include <QCoreApplication>
#include <QPointer>
#include <QQuickWindow>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

using namespace H5Test;

namespace {

constexpr int cyclesMs = 15000;

QString low(int times)
{
    return QStringLiteral("C run free memory less than: 20  times: %1").arg(times);
}

QStringList repeated(int count, const char* line)
{
    QStringList result;
    while (result.size() < count)
        result.append(QLatin1String(line));
    return result;
}

QStringList withoutRepeats(const QStringList& lines)
{
    QStringList result;
    for (const QString& line : lines) {
        if (result.isEmpty() || result.constLast() != line)
            result.append(line);
    }
    return result;
}

} // namespace

class TestMemoryMonitor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lowMemoryStopsRedirection();
    void goodReadingBreaksTheRun();
    void volumeAndMute();
    void staleStopEndsTheNewRedirection();

private:
    StandIns m_standIns;
};

void TestMemoryMonitor::lowMemoryStopsRedirection()
{
    // Two admissions, then 19 MiB in every cycle.
    m_standIns.setAvailable({ 1000, 1000, 19 });
    m_standIns.clearCalls();
    H5redir redir;
    QQuickWindow player;
    feed(redir, R"({"commandId":2,"id":8,"data":"u8"})");
    feed(redir, R"({"commandId":2,"id":9,"data":"u9"})");
    LogCapture log;
    redir.onCreatePlayerResult(8, true, &player);
    Recorder recorder(&redir, &log);
    QSignalSpy stopped(&redir, &H5redir::h5SetRedirectState);

    QTRY_VERIFY(!h5Lines(log, QStringLiteral("run")).isEmpty());
    QPointer<QThread> monitor;
    for (const LogLine& line : log.lines()) {
        if (line.text == QLatin1String("run "))
            monitor = line.thread;
    }
    QVERIFY(qobject_cast<H5MemoryUtil*>(monitor));

    QVERIFY(stopped.wait(cyclesMs));
    QStringList timeline = recorder.timeline();
    QCOMPARE(timeline.mid(timeline.indexOf(QStringLiteral("D H5 onMemoryLessLimit "))),
        list({ "D H5 onMemoryLessLimit ", "D H5 onMemoryLessLimit Del the br info ,tabid : 8",
            "h5DestroyPlayer(8)", "D H5 onRedirectError tabid : 8",
            R"(messageToSpice({"commandId":21,"data":2,"id":8},113))",
            "D H5 onMemoryLessLimit Del the br info ,tabid : 9", "h5DestroyPlayer(9)",
            "D H5 onRedirectError tabid : 9",
            R"(messageToSpice({"commandId":21,"data":2,"id":9},113))", "h5SetRedirectState(false)",
            "D H5 StopMemoryThread ", "signalSetStop2Memory()" }));
    QCOMPARE(h5Lines(log, QStringLiteral("run")),
        QStringList({ QStringLiteral("D run "), low(0), low(1), low(2), low(3), low(4),
            QStringLiteral("C run free memory less than: 20  up to 5s, so stop all "
                           "Br Redir") }));
    // The thread ended after the fifth cycle: five readings, five kills.
    QCOMPARE(m_standIns.calls(QStringLiteral("pkill")), repeated(5, "firefox"));
    QCOMPARE(m_standIns.calls(QStringLiteral("free")).count(), 2 + 5);
    QCOMPARE(h5Lines(log, QStringLiteral("getFreeMemory")),
        repeated(5, "D getFreeMemory avail memory: 19  M"));
    QCOMPARE(h5Lines(log, QStringLiteral("prevent firefox start.")),
        repeated(5, "D prevent firefox start."));
    // The monitor's readings write none of the admission check's lines.
    QCOMPARE(h5Lines(log, QStringLiteral("H5 IsMemoryAllow")), QStringList());
    QVERIFY(redir.IsNoBRData());

    // No monitor is left to stop, and the old one deletes itself on a later turn of the loop.
    log.clear();
    redir.StopMemoryThread();
    QCOMPARE(log.lines().count(), 0);
    QTRY_VERIFY(monitor.isNull());
}

void TestMemoryMonitor::goodReadingBreaksTheRun()
{
    // One admission, then the monitor's readings; 20 MiB is not low.
    m_standIns.setAvailable({ 1000, 19, 19, 19, 19, 20, 19, 1000 });
    m_standIns.clearCalls();
    H5redir redir;
    feed(redir, R"({"commandId":2,"id":8,"data":"u8"})");
    LogCapture log;
    redir.onCreatePlayerResult(8, true, nullptr);
    Recorder recorder(&redir);

    QTRY_VERIFY_WITH_TIMEOUT(m_standIns.calls(QStringLiteral("free")).count() >= 1 + 6, cyclesMs);
    QCOMPARE(recorder.events, QStringList());
    redir.SetH5ChannelState(false);
    QCOMPARE(recorder.events,
        list({ "h5DestroyPlayer(8)", "h5SetRedirectState(false)", "signalSetStop2Memory()" }));
    QCOMPARE(h5Lines(log, QStringLiteral("run free memory")),
        QStringList({ low(0), low(1), low(2), low(3), low(0) }));

    // Firefox is ended in every cycle, whatever the reading; the stop waited for the last one.
    const int cycles = m_standIns.calls(QStringLiteral("free")).count() - 1;
    QCOMPARE(m_standIns.calls(QStringLiteral("pkill")), repeated(cycles, "firefox"));
}

void TestMemoryMonitor::volumeAndMute()
{
    m_standIns.setAvailable(1000);
    // The earlier monitors ran the script as well.
    m_standIns.clearCalls();
    const QString pid = QString::number(QCoreApplication::applicationPid());
    const auto scriptLines = [&](const char* command) {
        return m_standIns.calls(QStringLiteral("h5setvol"))
            .filter(pid + QLatin1Char(' ') + QLatin1String(command));
    };
    const auto volume = [&](int percent) {
        return QStringLiteral("%1 set-sink-input-volume %2%").arg(pid).arg(percent);
    };
    const auto mute = [&](const char* state) {
        return QStringLiteral("%1 set-sink-input-mute %2").arg(pid, QLatin1String(state));
    };

    H5redir redir;
    // Remembered while no monitor runs; a new monitor starts from 77% and unmuted.
    redir.PlaybackVolumeChange(150);
    redir.PlaybackMuteChange(true);
    feed(redir, R"({"commandId":2,"id":3,"data":"u3"})");
    LogCapture log;
    redir.onCreatePlayerResult(3, true, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(
        scriptLines("set-sink-input-mute"), QStringList { mute("false") }, cyclesMs);
    QTRY_COMPARE(scriptLines("set-sink-input-volume").value(0), volume(77));

    redir.onLoadEnd(3, true);
    QTRY_VERIFY_WITH_TIMEOUT(scriptLines("set-sink-input-volume").contains(volume(150)), cyclesMs);
    redir.PlaybackVolumeChange(0);
    QTRY_VERIFY_WITH_TIMEOUT(scriptLines("set-sink-input-volume").contains(volume(0)), cyclesMs);
    QCOMPARE(withoutRepeats(scriptLines("set-sink-input-volume")),
        QStringList({ volume(77), volume(150), volume(0) }));
    // The muting command toggles: it runs once per change, never once per cycle.
    QCOMPARE(scriptLines("set-sink-input-mute"), QStringList({ mute("false"), mute("toggle") }));
    QCOMPARE(h5Lines(log, QStringLiteral("onSet")),
        list({ "D onSetMute sync mute: true", "D onSetVol sync vol: 150",
            "D onSetVol sync vol: 0" }));
}

void TestMemoryMonitor::staleStopEndsTheNewRedirection()
{
    // Monitor A of player 8 reads low five times; the admission of 9 and monitor B read plenty.
    m_standIns.setAvailable({ 1000, 19, 19, 19, 19, 19, 1000 });
    H5redir redir;
    feed(redir, R"({"commandId":2,"id":8,"data":"u8"})");
    LogCapture log;
    redir.onCreatePlayerResult(8, true, nullptr);
    QTRY_VERIFY(!log.texts(QStringLiteral("run")).isEmpty());
    const QList<LogLine> lines = log.lines();
    const QPointer<QThread> monitorA = std::find_if(lines.cbegin(), lines.cend(), [](auto& line) {
        return line.text == QLatin1String("run ");
    })->thread;

    // A's stop is queued; until this thread's loop turns, the last player goes and a new one
    // starts monitor B.
    QVERIFY(monitorA->wait(cyclesMs));
    feed(redir, R"({"commandId":26,"id":8})");
    feed(redir, R"({"commandId":2,"id":9,"data":"u9"})");
    redir.onCreatePlayerResult(9, true, nullptr);
    Recorder recorder(&redir);
    QTRY_VERIFY(monitorA.isNull());

    // The stop runs as for any monitor: it ends player 9 and B.
    QCOMPARE(recorder.events,
        list({ "h5DestroyPlayer(9)", R"(messageToSpice({"commandId":21,"data":2,"id":9},113))",
            "h5SetRedirectState(false)", "signalSetStop2Memory()" }));
    QVERIFY(redir.IsNoBRData());
    log.clear();
    redir.StopMemoryThread();
    QCOMPARE(log.lines().count(), 0);
}

QTEST_MAIN(TestMemoryMonitor)

#include "tst_memory_monitor.moc"
