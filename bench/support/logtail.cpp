#include "logtail.h"

LogTail::LogTail(const QString& fileName, const QElapsedTimer& clock)
    : m_file(fileName)
    , m_clock(clock)
{
}

QList<LogTail::Line> LogTail::read()
{
    // The program may create its log after this reader: open it once it is there.
    if (!m_file.isOpen() && !m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    m_partial += m_file.readAll();
    const qint64 now = m_clock.nsecsElapsed();
    QList<Line> lines;
    int start = 0;
    for (int end = m_partial.indexOf('\n'); end >= 0; end = m_partial.indexOf('\n', start)) {
        lines.append({ now, m_partial.mid(start, end - start) });
        start = end + 1;
    }
    m_partial.remove(0, start);
    return lines;
}
