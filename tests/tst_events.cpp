// The host's answers and player events as the server receives them: the creation result with the
// start of the memory monitor, the nine event slots byte for byte, and the focus test of
// onRequestActive.
#include <h5redir/h5redir.h>
#include "logcapture.h"
#include "redirtesting.h"
#include "standins.h"

#include <QDebug>
#include <QGuiApplication>
#include <QMetaMethod>
#include <QQuickWindow>
#include <QTest>

using namespace H5Test;

namespace {

// Calls the slot by name with arguments of the types it declares, as a host connection would.
bool invokeSlot(QObject* object, const QByteArray& name, const QVariantList& args)
{
    const QMetaObject* mo = object->metaObject();
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod method = mo->method(i);
        if (method.name() != name || method.parameterCount() != args.size())
            continue;
        QGenericArgument arguments[4];
        for (int a = 0; a < args.size(); ++a)
            arguments[a] = QGenericArgument(args.at(a).typeName(), args.at(a).constData());
        return method.invoke(
            object, Qt::DirectConnection, arguments[0], arguments[1], arguments[2], arguments[3]);
    }
    return false;
}

QString sent(const char* json)
{
    return QStringLiteral("messageToSpice(%1,113)").arg(QString::fromUtf8(json));
}

QString windowText(const QQuickWindow* window)
{
    QString text;
    QDebug(&text) << window;
    return text.trimmed();
}

} // namespace

class TestEvents : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void createResult();
    void loadEndHandsSettingsToMonitor();
    void event_data();
    void event();
    void requestActive_data();
    void requestActive();

private:
    // A successful creation starts the memory monitor: free, pkill and the volume script it
    // runs are the stand-ins.
    StandIns m_standIns;
};

void TestEvents::init() { m_standIns.setAvailable(1000); }

void TestEvents::createResult()
{
    H5redir redir;
    QQuickWindow first;
    QQuickWindow second;
    feed(redir, R"({"commandId":2,"id":5,"data":"u5"})");
    feed(redir, R"({"commandId":2,"id":6,"data":"u6"})");
    Recorder recorder(&redir);
    LogCapture log;
    const auto created = [&](int tabid, bool success, const QQuickWindow* window) {
        return QStringLiteral("D H5 onCreatePlayerResult tabid : %1 , create ret: %2 , window: %3")
            .arg(tabid)
            .arg(QLatin1String(success ? "true" : "false"), windowText(window));
    };

    redir.onCreatePlayerResult(-1, true, &first);
    QCOMPARE(h5Lines(log), list({ "C H5 onCreatePlayerResult invalid param" }));
    QCOMPARE(recorder.events, QStringList());
    QCOMPARE(redir.GetBRWindowById(5), nullptr);

    log.clear();
    redir.onCreatePlayerResult(5, true, &first);
    QCOMPARE(h5Lines(log),
        QStringList({ created(5, true, &first),
            QStringLiteral("D H5 onCreatePlayerResult start thread to linsten memory"),
            QStringLiteral("D H5 StartMemoryThread ") }));
    QCOMPARE(recorder.events, QStringList { sent(R"({"commandId":3,"data":true,"id":5})") });
    QCOMPARE(redir.GetBRWindowById(5), &first);

    // The monitor runs: later results neither start another nor change their own replies.
    log.clear();
    recorder.events.clear();
    redir.onCreatePlayerResult(6, true, &second);
    redir.onCreatePlayerResult(6, false, nullptr);
    redir.onCreatePlayerResult(9, true, &second);
    QCOMPARE(h5Lines(log),
        QStringList(
            { created(6, true, &second), created(6, false, nullptr), created(9, true, &second) }));
    QCOMPARE(recorder.events,
        QStringList({ sent(R"({"commandId":3,"data":true,"id":6})"),
            sent(R"({"commandId":3,"data":false,"id":6})"),
            sent(R"({"commandId":3,"data":true,"id":9})") }));
    // A failure keeps the record with the window it names; a tab without a record stores nothing.
    QCOMPARE(redir.GetBRWindowById(6), nullptr);
    QCOMPARE(redir.GetBRWindowById(9), nullptr);
    recorder.events.clear();
    redir.DelAllBRData();
    QCOMPARE(recorder.events, list({ "h5DestroyPlayer(5)", "h5DestroyPlayer(6)" }));
    QTRY_VERIFY(!m_standIns.calls(QStringLiteral("pkill")).isEmpty());
}

void TestEvents::loadEndHandsSettingsToMonitor()
{
    H5redir redir;
    // Remembered only: no monitor runs yet.
    redir.PlaybackMuteChange(true);
    redir.PlaybackVolumeChange(150);
    Recorder recorder(&redir);
    redir.onLoadEnd(3, true);
    QCOMPARE(recorder.events, QStringList { sent(R"({"commandId":19,"data":true,"id":3})") });

    redir.onCreatePlayerResult(3, true, nullptr);
    recorder.events.clear();
    redir.onLoadEnd(3, true);
    redir.onLoadEnd(3, false);
    QCOMPARE(recorder.events,
        QStringList({ QStringLiteral("signalSetMute(true)"), QStringLiteral("signalSetVol(150)"),
            sent(R"({"commandId":19,"data":true,"id":3})"),
            sent(R"({"commandId":19,"data":false,"id":3})") }));
}

void TestEvents::event_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::addColumn<QVariantList>("args");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QString>("message"); // empty: nothing is sent

    const QString url = QStringLiteral("http://v.example/a?b=1&c=%20");
    const QString title = QStringLiteral("T\u00eftle \"q\" \\");

    QTest::newRow("load end") << QByteArray("onLoadEnd") << QVariantList { 3, true }
                              << list({ "D H5 onLoadEnd tabid : 3 , load ret: true" })
                              << sent(R"({"commandId":19,"data":true,"id":3})");
    QTest::newRow("load failed") << QByteArray("onLoadEnd") << QVariantList { 3, false }
                                 << list({ "D H5 onLoadEnd tabid : 3 , load ret: false" })
                                 << sent(R"({"commandId":19,"data":false,"id":3})");
    QTest::newRow("title")
        << QByteArray("onUpdateTitle") << QVariantList { 3, title }
        << list({ "D H5 onUpdateTitle tabid : 3 , updare title: "
                  "\"T\u00eftle \\\"q\\\" \\\\\"" })
        << sent("{\"commandId\":5,\"data\":\"T\u00eftle \\\"q\\\" \\\\\",\"id\":3}");
    QTest::newRow("empty title") << QByteArray("onUpdateTitle") << QVariantList { 3, QString() }
                                 << list({ R"(D H5 onUpdateTitle tabid : 3 , updare title: "")" })
                                 << sent(R"({"commandId":5,"data":"","id":3})");
    QTest::newRow("url")
        << QByteArray("onUpdateUrl") << QVariantList { 3, url }
        << list({ R"(D H5 onUpdateUrl tabid : 3 , updare url: "http://v.example/a?b=1&c=%20")" })
        << sent(R"({"commandId":17,"data":"http://v.example/a?b=1&c=%20","id":3})");
    QTest::newRow("new window")
        << QByteArray("onNewUrl") << QVariantList { 4, url, true, false }
        << list(
               { R"(D H5 onNewUrl tabid : 4 , new url: "http://v.example/a?b=1&c=%20" , new window: true , popup: false)" })
        << sent(R"({"commandId":15,"data":"http://v.example/a?b=1&c=%20","id":4,"popup":false})");
    QTest::newRow("new url, popup")
        << QByteArray("onNewUrl") << QVariantList { 4, url, false, true }
        << list(
               { R"(D H5 onNewUrl tabid : 4 , new url: "http://v.example/a?b=1&c=%20" , new window: false , popup: true)" })
        << sent(R"({"commandId":13,"data":"http://v.example/a?b=1&c=%20","id":4,"popup":true})");
    QTest::newRow("full screen")
        << QByteArray("onRequestFullScreen") << QVariantList { 3, true }
        << list({ "D H5 onRequestFullScreen tabid : 3 , fullscreen mod: true" })
        << sent(R"({"commandId":11,"data":true,"id":3})");
    QTest::newRow("leave full screen")
        << QByteArray("onRequestFullScreen") << QVariantList { 3, false }
        << list({ "D H5 onRequestFullScreen tabid : 3 , fullscreen mod: false" })
        << sent(R"({"commandId":11,"data":false,"id":3})");
    QTest::newRow("error, a number") << QByteArray("onRedirectError") << QVariantList { 6, 2 }
                                     << list({ "D H5 onRedirectError tabid : 6" })
                                     << sent(R"({"commandId":21,"data":2,"id":6})");
    QTest::newRow("tip") << QByteArray("OnRequestTip") << QVariantList { 6 }
                         << list({ "D H5 OnRequestTip tabid : 6" })
                         << sent(R"({"commandId":37,"id":6})");
    QTest::newRow("download")
        << QByteArray("onRequestDownload") << QVariantList { 6, url }
        << list({ "D H5 onRequestDownload tabid : 6" })
        << sent(R"({"commandId":9,"data":"http://v.example/a?b=1&c=%20","id":6})");
    QTest::newRow("tab -2") << QByteArray("onUpdateTitle")
                            << QVariantList { -2, QStringLiteral("T") }
                            << list({ R"(D H5 onUpdateTitle tabid : -2 , updare title: "T")" })
                            << sent(R"({"commandId":5,"data":"T","id":-2})");
    QTest::newRow("tab 0") << QByteArray("OnRequestTip") << QVariantList { 0 }
                           << list({ "D H5 OnRequestTip tabid : 0" })
                           << sent(R"({"commandId":37,"id":0})");

    // Tab -1: the trace line, then the refusal, and nothing goes out.
    const struct
    {
        const char* slot;
        QVariantList args;
        const char* trace;
    } refused[] = {
        { "onLoadEnd", { -1, true }, ", load ret: true" },
        { "onUpdateTitle", { -1, QStringLiteral("T") }, R"(, updare title: "T")" },
        { "onUpdateUrl", { -1, QStringLiteral("u") }, R"(, updare url: "u")" },
        { "onNewUrl", { -1, QStringLiteral("u"), true, true },
            R"(, new url: "u" , new window: true , popup: true)" },
        { "onRequestFullScreen", { -1, true }, ", fullscreen mod: true" },
        { "onRedirectError", { -1, 2 }, "" },
        { "onRequestActive", { -1 }, "" },
        { "onRequestDownload", { -1, QStringLiteral("u") }, "" },
        { "OnRequestTip", { -1 }, "" },
    };
    for (const auto& row : refused) {
        const QString trace = QStringLiteral("D H5 %1 tabid : -1 %2")
                                  .arg(QLatin1String(row.slot), QString::fromUtf8(row.trace))
                                  .trimmed();
        QTest::addRow("%s, tab -1", row.slot)
            << QByteArray(row.slot) << row.args
            << QStringList(
                   { trace, QStringLiteral("C H5 %1 invalid tabid").arg(QLatin1String(row.slot)) })
            << QString();
    }
}

void TestEvents::event()
{
    QFETCH(QByteArray, slot);
    QFETCH(QVariantList, args);
    QFETCH(QStringList, log);
    QFETCH(QString, message);

    // No player exists: events are reported whatever the registry holds.
    H5redir redir;
    Recorder recorder(&redir);
    LogCapture capture;
    QVERIFY(invokeSlot(&redir, slot, args));
    QCOMPARE(h5Lines(capture), log);
    QCOMPARE(recorder.events, message.isEmpty() ? QStringList() : QStringList { message });
}

void TestEvents::requestActive_data()
{
    QTest::addColumn<QString>("focusTitle"); // null: no window has the focus
    QTest::addColumn<bool>("sends");

    QTest::newRow("browser_Redir") << QStringLiteral("browser_Redir") << true;
    QTest::newRow("other case") << QStringLiteral("browser_redir") << false;
    QTest::newRow("other title") << QStringLiteral("Zorv") << false;
    QTest::newRow("no focus window") << QString() << false;
}

void TestEvents::requestActive()
{
    QFETCH(QString, focusTitle);
    QFETCH(bool, sends);

    QWindow window;
    if (!focusTitle.isNull()) {
        window.setTitle(focusTitle);
        window.show();
        window.requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(QGuiApplication::focusWindow(), &window);
    } else {
        QTRY_COMPARE(QGuiApplication::focusWindow(), static_cast<QWindow*>(nullptr));
    }

    // The focus window need not be the tab's player: no player exists at all.
    H5redir redir;
    Recorder recorder(&redir);
    LogCapture log;
    redir.onRequestActive(6);
    QCOMPARE(h5Lines(log), list({ "D H5 onRequestActive tabid : 6" }));
    QCOMPARE(
        recorder.events, sends ? QStringList { sent(R"({"commandId":7,"id":6})") } : QStringList());
}

QTEST_MAIN(TestEvents)

#include "tst_events.moc"
