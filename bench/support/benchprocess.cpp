#include "benchprocess.h"

#include "loopclient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QVariantMap>

BenchProcess::BenchProcess(const QString& name, const QString& logDir)
    : m_name(name)
    , m_logFile(QDir(logDir).filePath(name + QLatin1String(".log")))
{
    m_process.setStandardOutputFile(m_logFile);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

BenchProcess::~BenchProcess()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // Asked first: a program may have something of its own to take down (serve's namespace).
    m_process.terminate();
    if (m_process.waitForFinished(3000))
        return;
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool BenchProcess::start(
    const QString& program, const QStringList& arguments, const QStringList& environment)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& setting : environment) {
        const int equals = setting.indexOf(QLatin1Char('='));
        env.insert(setting.left(equals), setting.mid(equals + 1));
    }
    m_process.setProcessEnvironment(env);
    m_process.start(program, arguments);
    if (m_process.waitForStarted(5000))
        return true;
    qWarning("%s did not start: %s", qPrintable(m_name), qPrintable(m_process.errorString()));
    return false;
}

QString BenchProcess::waitFor(const QRegularExpression& pattern, int ms)
{
    QElapsedTimer clock;
    clock.start();
    QFile log(m_logFile);
    do {
        if (log.open(QIODevice::ReadOnly)) {
            const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(log.readAll()));
            log.close();
            if (match.hasMatch())
                return match.captured(1);
        }
        QThread::msleep(20);
    } while (clock.elapsed() < ms && isRunning());
    qWarning("%s: no %s in its output, see %s", qPrintable(m_name), qPrintable(pattern.pattern()),
        qPrintable(m_logFile));
    return QString();
}

bool waitForListener(quint16 port, int ms)
{
    for (int waited = 0; waited < ms; waited += 20) {
        const QList<int> probe = LoopClient::openIdle(port, 1);
        LoopClient::closeAll(probe);
        if (probe.constFirst() >= 0)
            return true;
        QThread::msleep(20);
    }
    return false;
}

QStringList commandLine(QString line, const QVariantMap& values)
{
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        line.replace(QLatin1Char('{') + it.key() + QLatin1Char('}'), it.value().toString());
    return line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}
