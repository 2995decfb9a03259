#ifndef FUZZHOST_H
#define FUZZHOST_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>

#include <memory>

class H5redir;
class QQuickWindow;
class QTcpSocket;
class StandIns;

/*!
 * The host side of one fuzzing process, set up once and shared by every input: a redirector with
 * a main window, a few players with real offscreen windows, stand-ins for free and pkill, and a
 * running tunnel with live loopback clients.
 *
 * settle() brings the registry back to those players after each input, so that an input acts on
 * the same state whenever it runs and a crash reproduces from its bytes alone.
 */
class FuzzHost : public QObject
{
    Q_OBJECT

public:
    // The process-wide host; the first call builds it.
    static FuzzHost& instance();
    ~FuzzHost() override;

    H5redir& redir() { return *m_redir; }
    void feed(const QByteArray& message);
    // The host's answer to the oldest create request still open, with one of the spare windows.
    void answerCreate(bool success);
    // Delivers what the tunnel's threads queued and drains the loopback clients.
    void pump();
    void settle();

private:
    FuzzHost();
    void checkOutbound(const QByteArray& msg, uint type);
    void registerPlayer(int tabid, QQuickWindow* window);
    void startTunnel();

    std::unique_ptr<StandIns> m_standIns;
    std::unique_ptr<QQuickWindow> m_mainWindow;
    std::unique_ptr<H5redir> m_redir;
    QHash<int, QQuickWindow*> m_players;
    QList<QQuickWindow*> m_spareWindows;
    QList<QTcpSocket*> m_clients;
    // Whether the registry holds a record per tab id, as its signals told (true: created).
    QHash<int, bool> m_records;
    QList<int> m_openCreates;
};

#endif // FUZZHOST_H
