#ifndef STANDINS_H
#define STANDINS_H

#include <QList>
#include <QStringList>
#include <QTemporaryDir>

/*!
 * Puts the stand-ins for free, pkill and h5setvol.sh in place while it exists: the first two come
 * first on PATH, the script sits in the test's application directory. Each records its arguments
 * in a temporary directory; free prints what the test prepared. No test reaches the real ones.
 */
class StandIns
{
public:
    StandIns();
    ~StandIns();

    // free prints exactly this on every call.
    void setFreeOutput(const QByteArray& output);
    // free reports these "available" figures, one per call, the last one repeating.
    void setAvailable(const QList<qint64>& figures);
    void setAvailable(qint64 figure) { setAvailable(QList<qint64> { figure }); }
    // The argument lines of "free", "pkill" or "h5setvol", one per call.
    QStringList calls(const QString& program) const;
    void clearCalls();

private:
    QTemporaryDir m_dir;
    QByteArray m_oldPath;
};

#endif // STANDINS_H
