// The memory monitor thread in real time: five low cycles stop all redirection, a good reading
// breaks the run, every cycle ends local firefox processes, the volume script follows the host's
// settings, and release stops the monitor first. Slow: the monitor's cycles take a second each.
#include <h5redir/h5memoryutil.h>
#include <h5redir/h5redir.h>
#include "logcapture.h"
#include "redirtesting.h"
#include "standins.h"

#include <QCoreApplication>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace H5Test;

namespace {

constexpr int cyclesMs = 15000;

QString low(int times)
{
    return QStringLiteral("C run free memory less than: 20  times: %1").arg(times);
}

QStringList repeated(int count, const QString& line)
{
    return QVector<QString>(count, line).toList();
}

} // namespace

class TestMemoryMonitor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stop_data();
    void stop();
    void releaseStopsMonitorFirst();
    void lowMemoryStopsRedirection();
    void goodReadingBreaksTheRun();
    void volumeAndMute();
    void staleStopEndsTheNewRedirection();

private:
    StandIns m_standIns;
};

void TestMemoryMonitor::stop_data()
{
    QTest::addColumn<QString>("stage"); // where the monitor is when the stop comes
    QTest::addColumn<QStringList>("lines"); // the monitor's, and the stop's own
    const QString reading = QStringLiteral("D getFreeMemory avail memory: 1000  M");
    const QString kill = QStringLiteral("D prevent firefox start.");
    QTest::newRow("before the run") << "" << list({ "D onSetStop ", "D run " });
    // The reading goes on to its end with its lines; the pause that would follow is skipped.
    QTest::newRow("in a reading") << "free"
                                  << QStringList { "D run ", "D onSetStop ", reading, kill };
    QTest::newRow("in the pause") << "pause"
                                  << QStringList { "D run ", reading, kill, "D onSetStop " };
}

void TestMemoryMonitor::stop()
{
    QFETCH(QString, stage);
    QFETCH(QStringList, lines);
    m_standIns.setAvailable(1000);
    LogCapture log;
    // Deleted by Qt once finished, as H5redir has it: TSan sees no hand-off through Qt's wait().
    const auto newMonitor = [this] {
        auto* monitor = new H5MemoryUtil(20);
        connect(monitor, &QThread::finished, monitor, &QObject::deleteLater);
        return monitor;
    };
    // A second monitor, started first, keeps time: the stopped one must end before its next cycle.
    H5MemoryUtil* const clock = newMonitor();
    const auto linesOf = [&](const QThread* thread) { // nullptr: any thread but the clock's
        QStringList texts;
        for (const LogLine& line : log.lines()) {
            if (thread ? line.thread == thread : line.thread != clock)
                texts.append(QLatin1String("D ") + line.text);
        }
        return texts;
    };
    clock->start();
    const auto stopClock = qScopeGuard([&] {
        clock->onSetStop();
        clock->wait();
    });
    QTRY_COMPARE(linesOf(clock).size(), 3);

    // In the "free" stage the monitor's reading waits until the test creates the .go file.
    QTemporaryDir gate;
    const QString free = gate.filePath(QStringLiteral("free"));
    QFile script(free);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\n: >\"$0.held\"; while [ ! -e \"$0.go\" ]; do sleep 0.01; done\n"
                 "PATH=${PATH#*:} exec free \"$@\"\n");
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    if (stage == QLatin1String("free"))
        qputenv("PATH", QFile::encodeName(gate.path()) + ':' + path);

    H5MemoryUtil* const monitor = newMonitor();
    if (stage.isEmpty())
        monitor->onSetStop();
    monitor->start();
    if (stage == QLatin1String("free"))
        QTRY_VERIFY(QFile::exists(free + QLatin1String(".held")));
    else if (stage == QLatin1String("pause"))
        QTRY_COMPARE(linesOf(monitor).size(), 3);
    if (!stage.isEmpty())
        monitor->onSetStop();
    qputenv("PATH", path);
    QFile(free + QLatin1String(".go")).open(QIODevice::WriteOnly);
    QVERIFY(monitor->wait(10000));
    QCOMPARE(linesOf(nullptr), lines);
    QCOMPARE(linesOf(clock).size(), 3);
}

void TestMemoryMonitor::releaseStopsMonitorFirst()
{
    m_standIns.setAvailable(1000);
    auto* redir = new H5redir;
    feed(*redir, R"({"commandId":2,"id":8,"data":"u8"})");
    redir->onCreatePlayerResult(8, true, nullptr);
    LogCapture log;
    Recorder recorder(redir, &log);
    delete redir;
    QCOMPARE(recorder.timeline(),
        list({ "I H5 ~H5redir start release", "D H5 StopMemoryThread ", "signalSetStop2Memory()",
            "h5DestroyPlayer(8)", "I H5 ~H5redir end release" }));
}

void TestMemoryMonitor::lowMemoryStopsRedirection()
{
    m_standIns.setAvailable({ 1000, 1000, 19 }); // two admissions, then 19 MiB in every cycle
    m_standIns.clearCalls();
    H5redir redir;
    feed(redir, R"({"commandId":2,"id":8,"data":"u8"})");
    feed(redir, R"({"commandId":2,"id":9,"data":"u9"})");
    LogCapture log;
    redir.onCreatePlayerResult(8, true, nullptr);
    Recorder recorder(&redir, &log);
    QSignalSpy stopped(&redir, &H5redir::h5SetRedirectState);
    QVERIFY(stopped.wait(cyclesMs));
    QPointer<QThread> monitor;
    for (const LogLine& line : log.lines()) {
        if (line.text == QLatin1String("run "))
            monitor = line.thread;
    }
    QVERIFY(qobject_cast<H5MemoryUtil*>(monitor));

    const QStringList timeline = recorder.timeline();
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
            QStringLiteral("C run free memory less than: 20  up to 5s, so stop all Br Redir") }));
    // The thread ended after the fifth cycle: five readings, five kills, none of the admission's
    // lines.
    QCOMPARE(m_standIns.calls(QStringLiteral("pkill")), repeated(5, QStringLiteral("firefox")));
    QCOMPARE(m_standIns.calls(QStringLiteral("free")).count(), 2 + 5);
    QCOMPARE(h5Lines(log, QStringLiteral("getFreeMemory")),
        repeated(5, QStringLiteral("D getFreeMemory avail memory: 19  M")));
    QCOMPARE(h5Lines(log, QStringLiteral("prevent")),
        repeated(5, QStringLiteral("D prevent firefox start.")));
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
    m_standIns.setAvailable({ 1000, 19, 19, 19, 19, 20, 19, 1000 }); // 20 MiB is not low
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
    QCOMPARE(
        m_standIns.calls(QStringLiteral("pkill")), repeated(cycles, QStringLiteral("firefox")));
}

void TestMemoryMonitor::volumeAndMute()
{
    m_standIns.setAvailable(1000);
    m_standIns.clearCalls();
    const QString pid = QString::number(QCoreApplication::applicationPid());
    const auto script = [&](const char* command) {
        return m_standIns.calls(QStringLiteral("h5setvol"))
            .filter(pid + ' ' + QLatin1String(command));
    };
    const auto cycles = [&] { return m_standIns.calls(QStringLiteral("free")).count(); };
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
        script("set-sink-input-mute"), QStringList { mute("false") }, cyclesMs);
    QTRY_COMPARE(script("set-sink-input-volume").value(0), volume(77));

    redir.onLoadEnd(3, true);
    QTRY_VERIFY_WITH_TIMEOUT(script("set-sink-input-volume").contains(volume(150)), cyclesMs);
    redir.PlaybackVolumeChange(0);
    QTRY_VERIFY_WITH_TIMEOUT(script("set-sink-input-volume").contains(volume(0)), cyclesMs);
    QVERIFY(script("set-sink-input-mute").contains(mute("toggle")));
    // Two more readings: at least one whole cycle ran after the toggle. The muting command
    // toggles, so it runs once per change, never once per cycle.
    const int seen = cycles();
    QTRY_VERIFY_WITH_TIMEOUT(cycles() >= seen + 2, cyclesMs);
    QCOMPARE(script("set-sink-input-mute"), QStringList({ mute("false"), mute("toggle") }));
    QStringList volumes = script("set-sink-input-volume");
    volumes.erase(std::unique(volumes.begin(), volumes.end()), volumes.end());
    QCOMPARE(volumes, QStringList({ volume(77), volume(150), volume(0) }));
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
