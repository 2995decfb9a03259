// The library's logging macros. CTest runs this suite twice: with the "default" category's debug
// lines on, and with QT_LOGGING_RULES="default.debug=false", where debug lines must be neither
// written nor formatted. The other suites check the library's lines item by item.
#include "h5log.h"
#include "logcapture.h"
#include "redirtesting.h"

#include <QTest>

using namespace H5Test;

namespace {

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
    void disabledLineIsNotFormatted();
};

void TestLogging::disabledLineIsNotFormatted()
{
    LogCapture log;
    H5_DEBUG << Probe();
    H5_INFO << Probe();
    H5_CRITICAL << Probe();
    const bool debugOn
        = !qEnvironmentVariable("QT_LOGGING_RULES").contains(QLatin1String("default.debug=false"));
    QCOMPARE(formatted, debugOn ? 3 : 2);
    QCOMPARE(h5Lines(log, QString()),
        debugOn ? list({ "D probe", "I probe", "C probe" }) : list({ "I probe", "C probe" }));
}

QTEST_GUILESS_MAIN(TestLogging)

#include "tst_logging.moc"
