#include "logcapture.h"

#include <QMutex>
#include <QMutexLocker>

namespace {

QMutex captureMutex;
QList<LogLine> captured;
QtMessageHandler previousHandler = nullptr;
bool forwardMessages = false;

void captureHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    {
        QMutexLocker locker(&captureMutex);
        captured.append({ type, QString::fromLatin1(context.category), text,
                          context.file || context.line || context.function,
                          QThread::currentThread() });
    }
    if (forwardMessages && previousHandler)
        previousHandler(type, context, text);
}

} // namespace

LogCapture::LogCapture(bool forward)
{
    clear();
    forwardMessages = forward;
    previousHandler = qInstallMessageHandler(captureHandler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previousHandler);
}

QList<LogLine> LogCapture::lines() const
{
    QMutexLocker locker(&captureMutex);
    return captured;
}

QStringList LogCapture::texts(QtMsgType type) const
{
    QStringList result;
    for (const LogLine &line : lines()) {
        if (line.type == type)
            result.append(line.text);
    }
    return result;
}

QStringList LogCapture::texts(const QString &prefix) const
{
    QStringList result;
    for (const LogLine &line : lines()) {
        if (line.text.startsWith(prefix))
            result.append(line.text);
    }
    return result;
}

bool LogCapture::contains(QtMsgType type, const QString &text) const
{
    return texts(type).contains(text);
}

void LogCapture::clear()
{
    QMutexLocker locker(&captureMutex);
    captured.clear();
}
