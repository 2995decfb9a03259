#ifndef STANDINS_H
#define STANDINS_H

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>

/*!
 * Puts the stand-ins for free, pkill and h5setvol.sh in place for the lifetime of the object:
 * the first two come first on PATH, the script sits in the test's application directory. Each
 * records its arguments in a fresh temporary directory, and free prints what the test prepared.
 * No test ever reaches the machine's real commands.
 */
class StandIns
{
public:
    StandIns();
    ~StandIns();

    QString dir() const;

    // free prints exactly this output on every call.
    void setFreeOutput(const QByteArray &output);
    // free reports these "available" figures, one per call, the last one repeating.
    void setAvailable(const QList<qint64> &figures);
    void setAvailable(qint64 figure) { setAvailable(QList<qint64> { figure }); }

    // The argument lines each stand-in was called with ("free", "pkill", "h5setvol" for
    // the volume script).
    QStringList calls(const QString &program) const;
    void clearCalls();

private:
    QTemporaryDir m_dir;
    QByteArray m_oldPath;
};

#endif // STANDINS_H
