#ifndef REDIRTESTING_H
#define REDIRTESTING_H

#include <QObject>
#include <QStringList>

#include <initializer_list>

class H5redir;
class LogCapture;

namespace H5Test {

QStringList list(std::initializer_list<const char*> items);
// A 32-bit little-endian field, as proxy data frame headers carry them.
QByteArray le32(qint32 value);
// A proxy data frame: the 12-byte header, then the payload as it stands.
QByteArray frame(qint32 command, qint32 proxyId, qint32 dataLen, const QByteArray& payload = {});
// {"commandId":command,"proxyid":proxyId}, as the redirector sends 32 and 36.
QByteArray proxyMsg(int command, int proxyId);
QByteArray policyText(const char* enable, const char* host, const QByteArray& port);
// The policy that starts the local proxy on 127.0.0.1 at `port`.
QByteArray localPolicy(quint16 port);
quint16 freeLoopbackPort();

// Hands the message over in a buffer of exactly its size, so that ASan sees a read beyond it.
int feed(H5redir& redir, const QByteArray& msg);
// Answers every outbound frame 34 with the same bytes as frame 35, as an echoing server would.
void echoFrames(H5redir* redir, QObject* context);

// The captured lines that start with the prefix, each led by its level (D, W, C, F or I); a line
// of another category than "default" or with a source context is marked.
QStringList h5Lines(const LogCapture& log, const QString& prefix = QStringLiteral("H5 "));

// Every signal of the redirector as "name(arg,...)" in emission order; given a log capture, the
// timeline interleaves them with the library's lines (h5Lines()) as they happened.
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
    QObject m_context; // the connections end with the recorder
};

} // namespace H5Test

#endif // REDIRTESTING_H
