#include "procinfo.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>

#include <unistd.h>

namespace {

QByteArray readProc(qint64 pid, const char* file)
{
    QFile proc(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(file)));
    // Files in /proc report no size: read them whole rather than until atEnd().
    return proc.open(QIODevice::ReadOnly) ? proc.readAll() : QByteArray();
}

// The fields of /proc/PID/stat after the command name, which may hold spaces: field 3 first.
QList<QByteArray> statFields(qint64 pid)
{
    const QByteArray stat = readProc(pid, "stat");
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ');
}

qint64 statusKiB(const QByteArray& text, const QByteArray& key)
{
    for (const QByteArray& line : text.split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

} // namespace

namespace ProcInfo {

double cpuMs(qint64 pid)
{
    const QList<QByteArray> fields = statFields(pid);
    // utime and stime are fields 14 and 15, in clock ticks.
    const double ticks = fields.value(11).toDouble() + fields.value(12).toDouble();
    return ticks * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

double treeCpuMs(qint64 pid)
{
    const QList<QByteArray> fields = statFields(pid);
    // cutime and cstime, fields 16 and 17: the children it has waited for.
    double ms = (fields.value(13).toDouble() + fields.value(14).toDouble()) * 1000.0
        / double(sysconf(_SC_CLK_TCK));
    ms += cpuMs(pid);
    const QList<qint64> below = descendants(pid);
    for (const qint64 child : below)
        ms += cpuMs(child);
    return ms;
}

qint64 rssKiB(qint64 pid) { return statusKiB(readProc(pid, "status"), "VmRSS:"); }

qint64 peakRssKiB(qint64 pid) { return statusKiB(readProc(pid, "status"), "VmHWM:"); }

qint64 pssKiB(qint64 pid) { return statusKiB(readProc(pid, "smaps_rollup"), "Pss:"); }

QList<qint64> descendants(qint64 pid)
{
    QHash<qint64, QList<qint64>> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool number = false;
        const qint64 child = entry.toLongLong(&number);
        if (number)
            children[statFields(child).value(1).toLongLong()].append(child); // field 4: ppid
    }
    QList<qint64> found;
    QList<qint64> next = children.value(pid);
    while (!next.isEmpty()) {
        const qint64 child = next.takeFirst();
        found.append(child);
        next += children.value(child);
    }
    return found;
}

qint64 childRunning(const QString& program)
{
    const QList<qint64> children = descendants(QCoreApplication::applicationPid());
    for (const qint64 child : children) {
        if (QFileInfo(QStringLiteral("/proc/%1/exe").arg(child))
                .symLinkTarget()
                .endsWith(QLatin1Char('/') + program))
            return child;
    }
    return 0;
}

qint64 tcpBytesFromPort(quint16 port)
{
    QProcess ss;
    ss.start(QStringLiteral("ss"),
        { QStringLiteral("-tinH"), QStringLiteral("dst"),
            QStringLiteral("127.0.0.1:%1").arg(port) });
    ss.waitForFinished(5000);
    const QString text = QString::fromLatin1(ss.readAllStandardOutput());
    static const QRegularExpression received(QStringLiteral("bytes_received:(\\d+)"));
    qint64 total = 0;
    for (auto it = received.globalMatch(text); it.hasNext();)
        total += it.next().captured(1).toLongLong();
    return total;
}

} // namespace ProcInfo
