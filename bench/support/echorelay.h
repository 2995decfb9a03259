#ifndef ECHORELAY_H
#define ECHORELAY_H

#include <QProcess>

/*!
 * The two reference paths of the tunnel benchmarks: a plain echo server (h5bench-echo, next to
 * the benchmark binaries) and socat relaying a loopback port to it, one process per connection
 * as socat's fork option makes it. Both are ended with this object.
 */
class EchoRelay
{
public:
    EchoRelay();
    ~EchoRelay();

    bool isReady() const { return m_echoPort != 0 && m_relayPort != 0; }
    quint16 echoPort() const { return m_echoPort; }
    quint16 relayPort() const { return m_relayPort; }

private:
    QProcess m_echo;
    QProcess m_relay;
    quint16 m_echoPort = 0;
    quint16 m_relayPort = 0;
};

#endif // ECHORELAY_H
