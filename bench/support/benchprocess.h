#ifndef BENCHPROCESS_H
#define BENCHPROCESS_H

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QVariantMap>

/*!
 * One program that a benchmark starts beside itself (echo server, relays, the reference host and
 * agent, tinyproxy). Its output goes to a log file, which the benchmark reads to learn a port the
 * program printed; the program is ended with this object.
 */
class BenchProcess
{
public:
    BenchProcess(const QString& name, const QString& logDir);
    ~BenchProcess();

    bool start(const QString& program, const QStringList& arguments,
        const QStringList& environment = QStringList());
    // The first capture of `pattern` in the output, waiting up to `ms` for it; empty if none.
    QString waitFor(const QRegularExpression& pattern, int ms = 10000);
    bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    qint64 processId() const { return m_process.processId(); }
    QString logFile() const { return m_logFile; }

private:
    QString m_name;
    QString m_logFile;
    QProcess m_process;
};

// Whether something accepts connections on the loopback port, waiting up to `ms` for it.
bool waitForListener(quint16 port, int ms = 10000);

// A command line split at spaces, with "{name}" placeholders replaced from `values`.
QStringList commandLine(QString line, const QVariantMap& values);

#endif // BENCHPROCESS_H
