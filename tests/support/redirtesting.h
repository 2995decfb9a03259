#ifndef REDIRTESTING_H
#define REDIRTESTING_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <initializer_list>

class H5redir;
class LogCapture;

namespace H5Test {

QStringList list(std::initializer_list<const char*> items);

// A proxy data frame: the 12-byte little-endian header, then the payload as it stands.
QByteArray frame(qint32 command, qint32 proxyId, qint32 dataLen, const QByteArray& payload = {});

// Hands the message to parseSpiceData() in a buffer of exactly its size, so that a read beyond it
// is a fault under ASan.
int feed(H5redir& redir, const QByteArray& msg);

// The captured lines that start with the prefix, each led by its level (D, W, C, F or I); a line
// with another category than "default" or with a source context is marked, so that the comparison
// shows it.
QStringList h5Lines(const LogCapture& log, const QString& prefix = QStringLiteral("H5 "));

// Every signal of the redirector as "name(arg,...)", in emission order across all signals. Given a
// log capture, it also keeps the timeline: the events with the library's lines (h5Lines()) in the
// order both happened.
class Recorder
{
public:
    explicit Recorder(H5redir* redir, const LogCapture* log = nullptr);

    QStringList events;
    QStringList timeline();

private:
    void add(const QString& event);
    template <typename Signal> void record(H5redir* redir, Signal signal, const char* name);

    const LogCapture* m_log;
    QStringList m_timeline;
    int m_linesSeen = 0;
    // The connections end with the recorder, also when the redirector outlives it.
    QObject m_context;
};

} // namespace H5Test

#endif // REDIRTESTING_H
