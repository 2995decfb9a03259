// The library's log lines, item by item as Qt's logger writes them, and the cost of a line that is
// off. CTest runs this suite twice: with the "default" category's debug lines on, and with
// QT_LOGGING_RULES="default.debug=false", where debug lines must be neither written nor formatted.
#include <h5redir/h5memoryutil.h>
#include <h5redir/h5redir.h>
#include "h5log.h"
#include "logcapture.h"
#include "redirtesting.h"

#include <QRegularExpression>
#include <QTest>

#include <functional>

using namespace H5Test;

using Action = std::function<void(H5redir &)>;
Q_DECLARE_METATYPE(Action)

namespace {

bool debugLinesOn()
{
    return !qEnvironmentVariable("QT_LOGGING_RULES").contains(QLatin1String("default.debug=false"));
}

// Counts how often a line had to format it.
struct Probe
{
    static int formatted;
};
int Probe::formatted = 0;

QDebug operator<<(QDebug debug, const Probe &)
{
    ++Probe::formatted;
    return debug << "probe";
}

} // namespace

class TestLogging : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lines_data();
    void lines();
    void disabledLineIsNotFormatted();
};

void TestLogging::lines_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<QStringList>("expected"); // every level, debug lines included

    QTest::newRow("function named twice") << Action([](H5redir &redir) {
        redir.parseSpiceData(nullptr, 1);
    }) << list({ "D H5 parseSpiceData parseSpiceData Invalid parameter" });
    QTest::newRow("numbers and a quoted string")
            << Action([](H5redir &redir) {
                   feed(redir, R"({"commandId":4,"id":7,"data":"Lesson \"1\""})");
               })
            << list({ "D H5 HandleServerMsg read info from Json, tabid: 7 , commandId: 4",
                      R"(D H5 HandleServerMsg read title from Json : "Lesson \"1\"")" });
    QTest::newRow("boolean") << Action([](H5redir &redir) {
        feed(redir, R"({"commandId":8,"id":-3,"data":true})");
    }) << list({ "D H5 HandleServerMsg read info from Json, tabid: -3 , commandId: 8",
                 "D H5 HandleServerMsg read visible from Json : true" });
    QTest::newRow("critical") << Action([](H5redir &redir) { feed(redir, R"({"commandId":8})"); })
                              << list({ "C H5 HandleServerMsg can not find id from json" });
    QTest::newRow("frame header") << Action([](H5redir &redir) {
        feed(redir, frame(34, 4, 3, "abc"));
    }) << list({ "D H5 HandleServerMsg command id : 34 ,proxy id: 4 ,proxy data len: 3" });
    QTest::newRow("info")
            << Action([](H5redir &redir) { redir.SetH5ChannelState(true); })
            << list({ "I H5 SetH5ChannelState Br channel connected .." });
    QTest::newRow("quoted strings at info level")
            << Action([](H5redir &redir) {
                   redir.onProxyPolicy(R"({"enableProxy":0,"proxyIp":"10.0.0.1","proxyPort":"x"})");
               })
            << list({ R"(I H5 onProxyPolicy proxy policy result: enableProxy: 0 , proxyIp: "10.0.0.1" , proxyPort: "x" , proxyport(int): 0)" });
    QTest::newRow("byte array") << Action([](H5redir &redir) { redir.SendProxyPolicy(0); })
                                << list({ R"(D H5 SendProxyPolicy proxy policy msg: "{\"commandId\":30,\"port\":0}")" });
    QTest::newRow("monitor: no tag, empty last item") << Action([](H5redir &) {
        H5MemoryUtil monitor(100);
        monitor.onSetVol(50);
        monitor.onSetMute(false);
        monitor.onSetStop();
    }) << list({ "D onSetVol sync vol: 50", "D onSetMute sync mute: false", "D onSetStop " });
}

void TestLogging::lines()
{
    QFETCH(Action, action);
    QFETCH(QStringList, expected);

    H5redir redir;
    LogCapture log;
    action(redir);
    if (!debugLinesOn())
        expected = expected.filter(QRegularExpression(QStringLiteral("^[^D] ")));
    QCOMPARE(h5Lines(log, QString()), expected);
}

void TestLogging::disabledLineIsNotFormatted()
{
    LogCapture log;
    Probe::formatted = 0;
    H5_DEBUG << Probe();
    H5_INFO << Probe();
    H5_CRITICAL << Probe();

    const bool debugOn = debugLinesOn();
    QCOMPARE(Probe::formatted, debugOn ? 3 : 2);
    QCOMPARE(h5Lines(log, QString()),
             debugOn ? list({ "D probe", "I probe", "C probe" }) : list({ "I probe", "C probe" }));
}

QTEST_GUILESS_MAIN(TestLogging)

#include "tst_logging.moc"
