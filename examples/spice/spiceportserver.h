#ifndef SPICEPORTSERVER_H
#define SPICEPORTSERVER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <memory>

typedef struct RedsState SpiceServer;
struct PortDevice;

/*!
 * A SPICE server (spice-server) with one port char device of a given name: what a virtual
 * machine's virtio-serial port of that name is to a real server. Bytes written here reach the
 * client that opened the port; bytes it sends come out of received().
 *
 * It listens on loopback only, without TLS or a password, and serves one client at a time.
 */
class SpicePortServer : public QObject
{
    Q_OBJECT

public:
    explicit SpicePortServer(const QByteArray& portName, QObject* parent = nullptr);
    ~SpicePortServer() override;

    // On 127.0.0.1; port 0 picks a free one.
    bool listen(quint16 port);
    quint16 port() const { return m_listener.serverPort(); }
    // For the other devices of the same server (a display, input).
    SpiceServer* server() const { return m_server; }

    // Queued until the server takes them for the client; dropped when no client is there.
    void write(const QByteArray& bytes);
    bool hasPending() const { return !m_pending.isEmpty(); }
    // The guest side of the port opening or closing, as the client sees it.
    void setPortOpen(bool open);

Q_SIGNALS:
    void clientChanged(bool connected);
    // Bytes from the client: borrowed, valid only during the emission.
    void received(const char* data, int size);

private:
    friend struct PortDevice;
    void onClientState(bool connected);
    int readInto(uchar* buffer, int size);
    void wakeUpLater();

    // The server does not tell which port it bound to, so the sockets are accepted here and
    // handed over.
    class Listener : public QTcpServer
    {
    public:
        SpiceServer* server = nullptr;

    protected:
        void incomingConnection(qintptr socket) override;
    };

    const QByteArray m_portName;
    SpiceServer* m_server = nullptr;
    std::unique_ptr<PortDevice> m_device;
    Listener m_listener;
    QList<QByteArray> m_pending;
    int m_pendingAt = 0; // bytes of the first pending array already taken
    bool m_connected = false;
    QTimer m_wakeup;
};

#endif // SPICEPORTSERVER_H
