// The library's log lines, item by item as Qt's logger writes them. CTest runs this suite twice:
// with the "default" category's debug lines on, and with QT_LOGGING_RULES="default.debug=false",
// where debug lines must be neither written nor formatted.
#include <h5redir/h5memoryutil.h>
#include <h5redir/h5redir.h>
#include "h5log.h"
#include "logcapture.h"
#include "redirtesting.h"

#include <QRegularExpression>
#include <QTest>

#include <functional>

using namespace H5Test;

using Action = std::function<void(H5redir&)>;
Q_DECLARE_METATYPE(Action)

namespace {

bool debugLinesOn()
{
    return !qEnvironmentVariable("QT_LOGGING_RULES").contains(QLatin1String("default.debug=false"));
}

int formatted = 0; // how often a line had to format a Probe
struct Probe
{
};
QDebug operator<<(QDebug debug, Probe) { return ++formatted, debug << "probe"; }

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

    QTest::newRow("function named twice")
        << Action([](H5redir& r) { r.parseSpiceData(nullptr, 1); })
        << list({ "D H5 parseSpiceData parseSpiceData Invalid parameter" });
    QTest::newRow("numbers and a quoted string")
        << Action([](H5redir& r) { feed(r, R"({"commandId":4,"id":7,"data":"Lesson \"1\""})"); })
        << list({ "D H5 HandleServerMsg read info from Json, tabid: 7 , commandId: 4",
               R"(D H5 HandleServerMsg read title from Json : "Lesson \"1\"")" });
    QTest::newRow("critical") << Action([](H5redir& r) { feed(r, R"({"commandId":8})"); })
                              << list({ "C H5 HandleServerMsg can not find id from json" });
    QTest::newRow("info") << Action([](H5redir& r) { r.SetH5ChannelState(true); })
                          << list({ "I H5 SetH5ChannelState Br channel connected .." });
    QTest::newRow("monitor: no tag, empty last item") << Action([](H5redir&) {
        H5MemoryUtil monitor(100);
        monitor.onSetVol(50);
        monitor.onSetStop();
    }) << list({ "D onSetVol sync vol: 50", "D onSetStop " });
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
    formatted = 0;
    H5_DEBUG << Probe();
    H5_INFO << Probe();
    H5_CRITICAL << Probe();
    const bool debugOn = debugLinesOn();
    QCOMPARE(formatted, debugOn ? 3 : 2);
    QCOMPARE(h5Lines(log, QString()),
        debugOn ? list({ "D probe", "I probe", "C probe" }) : list({ "I probe", "C probe" }));
}

QTEST_GUILESS_MAIN(TestLogging)

#include "tst_logging.moc"
