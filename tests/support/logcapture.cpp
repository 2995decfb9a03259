#include "logcapture.h"

#include <mutex>

namespace {

// A std::mutex rather than a QMutex: ThreadSanitizer sees pthread locking, but not the locking
// inside Debian's uninstrumented Qt 5, and the library logs from its worker threads.
std::mutex captureMutex;
QList<LogLine> captured;
QtMessageHandler previousHandler = nullptr;
bool forwardMessages = false;

void captureHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    QtMessageHandler forwardTo = nullptr;
    {
        const std::lock_guard<std::mutex> locker(captureMutex);
        captured.append({ type, QString::fromLatin1(context.category), text,
                          context.file || context.line || context.function,
                          QThread::currentThread() });
        if (forwardMessages)
            forwardTo = previousHandler;
    }
    if (forwardTo)
        forwardTo(type, context, text);
}

} // namespace

// The library's worker threads may log while a capture starts or ends.
LogCapture::LogCapture(bool forward)
{
    const std::lock_guard<std::mutex> locker(captureMutex);
    captured.clear();
    forwardMessages = forward;
    previousHandler = qInstallMessageHandler(captureHandler);
}

LogCapture::~LogCapture()
{
    const std::lock_guard<std::mutex> locker(captureMutex);
    qInstallMessageHandler(previousHandler);
}

QList<LogLine> LogCapture::lines() const
{
    const std::lock_guard<std::mutex> locker(captureMutex);
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
    const std::lock_guard<std::mutex> locker(captureMutex);
    captured.clear();
}
