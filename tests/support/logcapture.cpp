#include "logcapture.h"

#include <mutex>

namespace {

// std::mutex, not QMutex: TSan sees pthread locking but not the locking inside Debian's Qt.
std::mutex captureMutex;
QList<LogLine> captured;
QtMessageHandler previousHandler = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    const std::lock_guard<std::mutex> locker(captureMutex);
    captured.append({ type, QString::fromLatin1(context.category), text,
        context.file || context.line || context.function, QThread::currentThread() });
}

} // namespace

LogCapture::LogCapture()
{
    const std::lock_guard<std::mutex> locker(captureMutex);
    captured.clear();
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
    for (const LogLine& line : lines()) {
        if (line.type == type)
            result.append(line.text);
    }
    return result;
}

QStringList LogCapture::texts(const QString& prefix) const
{
    QStringList result;
    for (const LogLine& line : lines()) {
        if (line.text.startsWith(prefix))
            result.append(line.text);
    }
    return result;
}

void LogCapture::clear()
{
    const std::lock_guard<std::mutex> locker(captureMutex);
    captured.clear();
}
