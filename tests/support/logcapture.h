#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QList>
#include <QPointer>
#include <QStringList>
#include <QThread>

struct LogLine
{
    QtMsgType type;
    QString category;
    QString text;
    bool hasContext; // file, line or function given: the library gives none
    QPointer<QThread> thread;
};

// Captures every message logged from any thread while it exists.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    QList<LogLine> lines() const;
    QStringList texts(QtMsgType type) const;
    QStringList texts(const QString& prefix) const;
    void clear();
};

#endif // LOGCAPTURE_H
