#include "benchsupport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

#include <time.h>

namespace Bench {

void printFigure(const char* group, const QByteArray& label, double value, const char* unit)
{
    std::printf("%s\t%s\t%.6g\t%s\n", group, label.constData(), value, unit);
    std::fflush(stdout);
}

void printSpread(
    const char* group, const QByteArray& label, const QList<double>& values, const char* unit)
{
    const auto [min, max] = std::minmax_element(values.cbegin(), values.cend());
    std::printf("%s\t%s\t%.6g\t%s\t%.6g\t%.6g\n", group, label.constData(), median(values), unit,
        values.isEmpty() ? std::nan("") : *min, values.isEmpty() ? std::nan("") : *max);
    std::fflush(stdout);
}

QVariantMap parseOptions(const QCoreApplication& app, const QVariantMap& defaults)
{
    QCommandLineParser parser;
    parser.addHelpOption();
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it)
        parser.addOption(
            QCommandLineOption(it.key(), it.key(), QStringLiteral("value"), it.value().toString()));
    parser.process(app);
    QVariantMap values;
    for (auto it = defaults.cbegin(); it != defaults.cend(); ++it)
        values.insert(it.key(), parser.value(it.key()));
    return values;
}

void useOffscreenPlatform()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        qputenv("QT_QUICK_BACKEND", "software");
}

void useStandIns() { qputenv("PATH", QByteArray(H5BENCH_STANDIN_DIR ":") + qgetenv("PATH")); }

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QByteArray localProxyPolicy(quint16 port)
{
    return R"({"enableProxy":1,"proxyIp":"127.0.0.1","proxyPort":")" + QByteArray::number(port)
        + "\"}";
}

void runWhileLooping(const std::function<void()>& work)
{
    QEventLoop loop;
    std::thread worker([&] {
        work();
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
}

void spinEventLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

qint64 threadCpuNs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

double percentile(QList<double> values, double fraction)
{
    if (values.isEmpty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    const int index = qBound(0, int(std::ceil(fraction * values.size())) - 1, values.size() - 1);
    return values.at(index);
}

double median(QList<double> values) { return percentile(std::move(values), 0.5); }

} // namespace Bench
