#ifndef FUZZHOST_H
#define FUZZHOST_H

#include <QList>
#include <QObject>

#include <memory>

class H5redir;
class QQuickWindow;
class QTcpSocket;
class StandIns;

/*!
 * The host side of one fuzzing process, set up once and shared by every input: a redirector with
 * a main window, three players in real offscreen windows, the stand-ins, and a running tunnel with
 * live loopback clients. settle() brings the registry back to those players after each input, so
 * that a crash reproduces from its input alone.
 */
class FuzzHost : public QObject
{
    Q_OBJECT

public:
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
    void startTunnel();

    std::unique_ptr<StandIns> m_standIns;
    std::unique_ptr<QQuickWindow> m_mainWindow;
    std::unique_ptr<H5redir> m_redir;
    QList<QQuickWindow*> m_windows; // the players', then the spare ones
    QList<QTcpSocket*> m_clients;
    QList<int> m_openCreates;
};

#endif // FUZZHOST_H
