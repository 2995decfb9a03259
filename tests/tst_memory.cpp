// The memory admission check against what "free -m" prints, field by field, with its log lines.
#include <h5redir/h5memoryutil.h>
#include <h5redir/h5redir.h>
#include "logcapture.h"
#include "redirtesting.h"
#include "standins.h"

#include <QTemporaryDir>
#include <QTest>

using namespace H5Test;

namespace {

const QByteArray header(
    "               total        used        free      shared  buff/cache   available\n");

QByteArray freeOutput(const QByteArray& memory, const QByteArray& swap)
{
    return header + memory + '\n' + swap + '\n';
}

QByteArray memoryLine(qint64 available)
{
    return "Mem:           15925        3011        9003         110        3911   "
        + QByteArray::number(available);
}

QByteArray swapLine(qint64 free)
{
    return "Swap:           975         100   " + QByteArray::number(free);
}

QString line(const char* what, qint64 value)
{
    return QStringLiteral("C H5 IsMemoryAllow IsMemoryAllow %1 %2")
        .arg(QLatin1String(what))
        .arg(value);
}

} // namespace

class TestMemory : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void isMemoryAllow_data();
    void isMemoryAllow();
    void stopWithoutMonitor();
    void stopBeforeRun();

private:
    StandIns m_standIns;
};

void TestMemory::isMemoryAllow_data()
{
    QTest::addColumn<QByteArray>("output"); // what free prints; null: there is no free
    QTest::addColumn<bool>("low");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<QStringList>("log");

    const auto lines = [](qint64 available, qint64 swap) {
        return QStringList({ line("avail memory:", available), line("avail swap:", swap),
            line("total avail:", available + swap) });
    };
    const auto output = [](qint64 available, qint64 swap) {
        return freeOutput(memoryLine(available), swapLine(swap));
    };
    const QStringList nothing { line("total avail:", 0) };

    QTest::newRow("150, 2-class") << output(150, 0) << true << true << lines(150, 0);
    QTest::newRow("149, 2-class") << output(149, 0) << true << false << lines(149, 0);
    QTest::newRow("400") << output(400, 0) << false << true << lines(400, 0);
    QTest::newRow("399") << output(399, 0) << false << false << lines(399, 0);
    QTest::newRow("300") << output(300, 0) << false << false << lines(300, 0);
    QTest::newRow("300, 2-class") << output(300, 0) << true << true << lines(300, 0);
    QTest::newRow("swap counts") << output(100, 350) << false << true << lines(100, 350);
    QTest::newRow("swap counts, short") << output(100, 299) << false << false << lines(100, 299);
    QTest::newRow("6-field memory line")
        << freeOutput("Mem:  15925  3011  9003  110  3911", swapLine(350)) << true << true
        << QStringList({ line("avail swap:", 350), line("total avail:", 350) });
    QTest::newRow("3-field swap line")
        << freeOutput(memoryLine(399), "Swap:  975  100") << false << false
        << QStringList({ line("avail memory:", 399), line("total avail:", 399) });
    QTest::newRow("single spaces")
        << freeOutput("Mem: 1 2 3 4 5 400", "Swap: 0 0 0") << false << true << lines(400, 0);
    QTest::newRow("no line feeds")
        << header + "Mem: 1 2 3 4 5 400" << false << true
        << QStringList({ line("avail memory:", 400), line("total avail:", 400) });
    // The empty first field moves every column one place on: index 6 is buff/cache.
    QTest::newRow("leading space")
        << freeOutput(' ' + memoryLine(100), swapLine(0)) << false << true << lines(3911, 0);
    QTest::newRow("trailing space")
        << freeOutput(memoryLine(399) + ' ', swapLine(1)) << false << true << lines(399, 1);
    QTest::newRow("not a number") << freeOutput("Mem: 1 2 3 4 5 lots", swapLine(200)) << true
                                  << true << lines(0, 200);
    QTest::newRow("tab is no separator")
        << freeOutput("Mem: 1 2 3 4 5\t400", swapLine(0)) << false << false
        << QStringList({ line("avail swap:", 0), line("total avail:", 0) });
    QTest::newRow("text ends at a zero byte")
        << freeOutput(QByteArray("Mem: 1 2 3 4 5\0 400", 20), swapLine(0)) << false << false
        << QStringList({ line("avail swap:", 0), line("total avail:", 0) });
    QTest::newRow("empty output") << QByteArray("") << true << false << nothing;
    QTest::newRow("empty output, 400") << QByteArray("") << false << false << nothing;
    QTest::newRow("no free") << QByteArray() << true << false << nothing;
}

void TestMemory::isMemoryAllow()
{
    QFETCH(QByteArray, output);
    QFETCH(bool, low);
    QFETCH(bool, allowed);
    QFETCH(QStringList, log);

    m_standIns.setFreeOutput(output);
    m_standIns.clearCalls();
    const QByteArray path = qgetenv("PATH");
    QTemporaryDir empty;
    if (output.isNull())
        qputenv("PATH", QFile::encodeName(empty.path()));

    H5redir redir;
    LogCapture capture;
    const bool result = redir.IsMemoryAllow(low);
    qputenv("PATH", path);
    QCOMPARE(result, allowed);
    QCOMPARE(h5Lines(capture), log);
    QCOMPARE(
        m_standIns.calls(QStringLiteral("free")), output.isNull() ? QStringList() : list({ "-m" }));
}

void TestMemory::stopWithoutMonitor()
{
    H5redir redir;
    Recorder recorder(&redir);
    LogCapture log;
    redir.StopMemoryThread();
    QCOMPARE(recorder.events, QStringList());
    QCOMPARE(log.lines().count(), 0);
}

void TestMemory::stopBeforeRun()
{
    m_standIns.clearCalls();
    H5MemoryUtil monitor(20);
    LogCapture log;
    monitor.onSetStop();
    monitor.start();
    QVERIFY(monitor.wait(10000));
    QCOMPARE(h5Lines(log, QString()), list({ "D onSetStop ", "D run " }));
    for (const char* program : { "free", "pkill", "h5setvol" })
        QCOMPARE(m_standIns.calls(QLatin1String(program)), QStringList());
}

QTEST_GUILESS_MAIN(TestMemory)

#include "tst_memory.moc"
