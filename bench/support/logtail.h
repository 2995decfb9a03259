#ifndef LOGTAIL_H
#define LOGTAIL_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QList>

/*!
 * The lines a running program adds to its log file, each stamped with when this reader first saw
 * it: the benchmarks' clock for what the host and agent print. Reading never blocks, so a loop
 * that polls the screen can read between two looks. Owns only its read position in the file.
 */
class LogTail
{
public:
    struct Line
    {
        qint64 atNs; // on the clock given to the constructor
        QByteArray text;
    };

    LogTail(const QString& fileName, const QElapsedTimer& clock);
    // The complete lines written since the last call.
    QList<Line> read();

private:
    QFile m_file;
    const QElapsedTimer& m_clock;
    QByteArray m_partial;
};

#endif // LOGTAIL_H
