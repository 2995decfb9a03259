#include "standins.h"

#include <QFile>

StandIns::StandIns()
    : m_oldPath(qgetenv("PATH"))
{
    qputenv("H5TEST_DIR", QFile::encodeName(m_dir.path()));
    qputenv("PATH", QByteArray(H5TEST_STANDIN_DIR ":") + m_oldPath);
}

StandIns::~StandIns()
{
    qputenv("PATH", m_oldPath);
    qunsetenv("H5TEST_DIR");
}

void StandIns::setFreeOutput(const QByteArray& output)
{
    QFile::remove(m_dir.filePath(QStringLiteral("free.seq")));
    QFile file(m_dir.filePath(QStringLiteral("free.out")));
    if (file.open(QIODevice::WriteOnly))
        file.write(output);
}

void StandIns::setAvailable(const QList<qint64>& figures)
{
    QFile::remove(m_dir.filePath(QStringLiteral("free.out")));
    QFile::remove(m_dir.filePath(QStringLiteral("free.count")));
    QFile file(m_dir.filePath(QStringLiteral("free.seq")));
    if (!file.open(QIODevice::WriteOnly))
        return;
    for (qint64 figure : figures)
        file.write(QByteArray::number(figure) + '\n');
}

QStringList StandIns::calls(const QString& program) const
{
    QFile file(m_dir.filePath(program + QLatin1String(".calls")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void StandIns::clearCalls()
{
    for (const char* program : { "free", "pkill", "h5setvol" })
        QFile::remove(m_dir.filePath(QLatin1String(program) + QLatin1String(".calls")));
}
