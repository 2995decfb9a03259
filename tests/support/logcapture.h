#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QtGlobal>

struct LogLine
{
    QtMsgType type;
    QString category;
    QString text;
    // The context the logger was given; the library logs none.
    bool hasContext;
    // The thread that logged it, while that thread object lives.
    QPointer<QThread> thread;
};

/*!
 * Captures every message logged while it exists, from any thread, and lets the test look at the
 * lines as Qt formats them. Messages still reach the previous handler when `forward` is set.
 */
class LogCapture
{
public:
    explicit LogCapture(bool forward = false);
    ~LogCapture();

    QList<LogLine> lines() const;
    // The texts of the captured lines of one level, in order.
    QStringList texts(QtMsgType type) const;
    // Texts of all levels whose text starts with the prefix ("H5 HandleServerMsg", "run", ...).
    QStringList texts(const QString &prefix) const;
    bool contains(QtMsgType type, const QString &text) const;
    void clear();
};

#endif // LOGCAPTURE_H
