#include "freememory.h"

#include <QProcess>
#include <QRegExp>
#include <QStringList>

namespace {

constexpr int freeWaitMs = 30000;
constexpr int availableField = 6; // physical-memory line: label total used free shared buff/cache available
constexpr int swapFreeField = 3; // swap line: label total used free

QStringList fields(const QByteArray &line)
{
    // constData() stops the text at an embedded NUL byte.
    QString text = QString::fromUtf8(line.constData());
    text.remove(QLatin1Char('\n'));
    text.replace(QRegExp(QStringLiteral("( ){1,}")), QStringLiteral(" "));
    return text.split(QLatin1Char(' '), Qt::KeepEmptyParts);
}

qint64 field(const QStringList &parts, int index)
{
    return parts.at(index).toLongLong(nullptr, 10);
}

} // namespace

FreeMemoryReading readFreeMemory()
{
    QProcess process;
    process.start(QStringLiteral("free"), {QStringLiteral("-m")}, QIODevice::ReadWrite);
    // Whatever the command managed to print counts, also after a timeout.
    process.waitForFinished(freeWaitMs);

    FreeMemoryReading reading;
    process.readLine(); // column header
    const QStringList memory = fields(process.readLine());
    if (memory.size() > availableField) {
        reading.available = field(memory, availableField);
        reading.hasAvailable = true;
    }
    const QStringList swap = fields(process.readLine());
    if (swap.size() > swapFreeField) {
        reading.swap = field(swap, swapFreeField);
        reading.hasSwap = true;
    }
    return reading;
}
