// The host's answers and player events as the server receives them: the creation result with the
// start of the memory monitor, the event slots byte for byte, and the focus test of
// onRequestActive.
#include <h5redir/h5redir.h>
#include "logcapture.h"
#include "redirtesting.h"
#include "standins.h"

#include <QDebug>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QTest>

using namespace H5Test;

namespace {

// Calls the slot by name, as a host connection would; the arguments' types select the overload.
bool invokeSlot(QObject* object, const QByteArray& name, const QVariantList& args)
{
    QGenericArgument a[4];
    for (int n = 0; n < args.size(); ++n)
        a[n] = QGenericArgument(args.at(n).typeName(), args.at(n).constData());
    return QMetaObject::invokeMethod(
        object, name.constData(), Qt::DirectConnection, a[0], a[1], a[2], a[3]);
}

QString sent(const QString& json) { return QStringLiteral("messageToSpice(%1,113)").arg(json); }

} // namespace

class TestEvents : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { m_standIns.setAvailable(1000); }
    void createResult_data();
    void createResult();
    void answerFromCreateSlot();
    void loadEndHandsSettingsToMonitor();
    void event_data();
    void event();
    void requestActive();

private:
    StandIns m_standIns; // for the monitor that a successful creation starts
};

void TestEvents::createResult_data()
{
    QTest::addColumn<bool>("running"); // a monitor runs already
    QTest::addColumn<int>("tabid");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QStringList>("log"); // after the trace line
    QTest::addColumn<bool>("stored");

    const QStringList starts = list(
        { "D H5 onCreatePlayerResult start thread to linsten memory", "D H5 StartMemoryThread " });
    QTest::newRow("success starts the monitor") << false << 5 << true << starts << true;
    QTest::newRow("failure starts none") << false << 5 << false << QStringList() << true;
    QTest::newRow("success, monitor running") << true << 5 << true << QStringList() << true;
    QTest::newRow("no record: not stored") << true << 9 << true << QStringList() << false;
    QTest::newRow("tab -1") << false << -1 << true
                            << list({ "C H5 onCreatePlayerResult invalid param" }) << false;
}

void TestEvents::createResult()
{
    QFETCH(bool, running);
    QFETCH(int, tabid);
    QFETCH(bool, success);
    QFETCH(QStringList, log);
    QFETCH(bool, stored);

    H5redir redir;
    QQuickWindow window;
    feed(redir, R"({"commandId":2,"id":5,"data":"u5"})");
    if (running)
        redir.onCreatePlayerResult(6, true, nullptr);
    Recorder recorder(&redir);
    LogCapture capture;
    redir.onCreatePlayerResult(tabid, success, &window);
    // Any tab but -1 is traced and answered, whether the registry knows it or not.
    QStringList events;
    if (tabid != -1) {
        const QLatin1String result(success ? "true" : "false");
        QString trace;
        QDebug(&trace) << &window;
        log.prepend(
            QStringLiteral("D H5 onCreatePlayerResult tabid : %1 , create ret: %2 , window: %3")
                .arg(tabid)
                .arg(result, trace.trimmed()));
        events << sent(
            QStringLiteral(R"({"commandId":3,"data":%1,"id":%2})").arg(result).arg(tabid));
    }
    QCOMPARE(h5Lines(capture), log);
    QCOMPARE(recorder.events, events);
    QCOMPARE(redir.GetBRWindowById(tabid), stored ? &window : nullptr);
}

void TestEvents::answerFromCreateSlot()
{
    // As the README's sketch does it: the registry must be free while the request is emitted.
    H5redir redir;
    QQuickWindow window;
    connect(&redir, &H5redir::h5CreateNewPlayer, &redir,
        [&](int tabid) { redir.onCreatePlayerResult(tabid, true, &window); });
    Recorder recorder(&redir);
    feed(redir, R"({"commandId":2,"id":7,"data":"u"})");
    QVERIFY(recorder.events.contains(sent(R"({"commandId":3,"data":true,"id":7})")));
    QCOMPARE(redir.GetBRWindowById(7), &window);
}

void TestEvents::loadEndHandsSettingsToMonitor()
{
    H5redir redir;
    Recorder recorder(&redir);
    LogCapture log;
    // Remembered only while no monitor runs; a repeat, or the initial 77 and unmuted, is ignored.
    for (bool mute : { false, true, true })
        redir.PlaybackMuteChange(mute);
    for (quint16 volume : { 77, 150, 150 })
        redir.PlaybackVolumeChange(volume);
    QCOMPARE(h5Lines(log),
        QStringList({ "D H5 PlaybackMuteChange system mute is change to: true",
            "D H5 PlaybackVolumeChange system vol is change to: 150" }));
    redir.onLoadEnd(3, true);
    redir.onCreatePlayerResult(3, true, nullptr);
    redir.onLoadEnd(3, true);
    redir.onLoadEnd(3, false);
    QCOMPARE(recorder.events,
        QStringList({ sent(R"({"commandId":19,"data":true,"id":3})"),
            sent(R"({"commandId":3,"data":true,"id":3})"), QStringLiteral("signalSetMute(true)"),
            QStringLiteral("signalSetVol(150)"), sent(R"({"commandId":19,"data":true,"id":3})"),
            sent(R"({"commandId":19,"data":false,"id":3})") }));
}

void TestEvents::event_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<QString>("trace"); // after "D H5 <slot> tabid : <tab> "
    QTest::addColumn<QString>("message"); // empty: nothing is sent, tab -1 is refused

    const QString url = QStringLiteral("http://v.example/a?b=1&c=%20");
    const QString title = QStringLiteral("T\u00eftle \"q\" \\");
    // Each row comes with its refusal on tab -1.
    const auto row = [](const char* name, const char* slot, QVariantList args, const QString& trace,
                         const QString& msg) {
        QTest::newRow(name) << QByteArray(slot) << args << trace << msg;
        args[0] = -1;
        QTest::addRow("%s, tab -1", name) << QByteArray(slot) << args << trace << QString();
    };
    row("load end", "onLoadEnd", { 3, true }, ", load ret: true",
        sent(R"({"commandId":19,"data":true,"id":3})"));
    row("title", "onUpdateTitle", { 3, title }, ", updare title: \"T\u00eftle \\\"q\\\" \\\\\"",
        sent("{\"commandId\":5,\"data\":\"T\u00eftle \\\"q\\\" \\\\\",\"id\":3}"));
    row("url", "onUpdateUrl", { 3, url }, R"(, updare url: "http://v.example/a?b=1&c=%20")",
        sent(R"({"commandId":17,"data":"http://v.example/a?b=1&c=%20","id":3})"));
    row("new window", "onNewUrl", { 4, url, true, false },
        R"(, new url: "http://v.example/a?b=1&c=%20" , new window: true , popup: false)",
        sent(R"({"commandId":15,"data":"http://v.example/a?b=1&c=%20","id":4,"popup":false})"));
    row("new url, popup", "onNewUrl", { 4, url, false, true },
        R"(, new url: "http://v.example/a?b=1&c=%20" , new window: false , popup: true)",
        sent(R"({"commandId":13,"data":"http://v.example/a?b=1&c=%20","id":4,"popup":true})"));
    row("full screen", "onRequestFullScreen", { 3, true }, ", fullscreen mod: true",
        sent(R"({"commandId":11,"data":true,"id":3})"));
    row("error, a number", "onRedirectError", { 6, 2 }, "",
        sent(R"({"commandId":21,"data":2,"id":6})"));
    row("tip", "OnRequestTip", { 6 }, "", sent(R"({"commandId":37,"id":6})"));
    row("download", "onRequestDownload", { 6, url }, "",
        sent(R"({"commandId":9,"data":"http://v.example/a?b=1&c=%20","id":6})"));
    row("tab -2", "onUpdateTitle", { -2, QString() }, R"(, updare title: "")",
        sent(R"({"commandId":5,"data":"","id":-2})"));
    QTest::newRow("tab -1") << QByteArray("onRequestActive") << QVariantList { -1 } << QString()
                            << QString();
}

void TestEvents::event()
{
    QFETCH(QByteArray, slot);
    QFETCH(QVariantList, args);
    QFETCH(QString, trace);
    QFETCH(QString, message);

    H5redir redir; // no player at all: events are reported whatever the registry holds
    Recorder recorder(&redir);
    LogCapture capture;
    QVERIFY(invokeSlot(&redir, slot, args));
    const QString line
        = QStringLiteral("D H5 %1 tabid : %2 ").arg(QLatin1String(slot)).arg(args.at(0).toInt());
    QStringList lines { QString(line + trace).trimmed() };
    if (message.isEmpty()) // tab -1: refused after the trace
        lines << QStringLiteral("C H5 %1 invalid tabid").arg(QLatin1String(slot));
    QCOMPARE(h5Lines(capture), lines);
    QCOMPARE(recorder.events, message.isEmpty() ? QStringList() : QStringList { message });
}

void TestEvents::requestActive()
{
    H5redir redir; // the focus window need not be a player
    Recorder recorder(&redir);
    QCOMPARE(QGuiApplication::focusWindow(), nullptr);
    redir.onRequestActive(6);
    QWindow window;
    window.show();
    window.requestActivate();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    // Only the redirected browser's title counts, in exactly this case.
    for (const char* title : { "browser_redir", "browser_Redir" }) {
        window.setTitle(QString::fromLatin1(title));
        redir.onRequestActive(6);
    }
    QCOMPARE(recorder.events, QStringList { sent(R"({"commandId":7,"id":6})") });
}

QTEST_MAIN(TestEvents)

#include "tst_events.moc"
