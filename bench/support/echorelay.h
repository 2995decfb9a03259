#ifndef ECHORELAY_H
#define ECHORELAY_H

#include "benchprocess.h"

/*!
 * The reference paths of the echo benchmark: a plain echo server (h5bench-echo, next to the
 * benchmark binaries), and in front of it a chain of two socat relays, each with 64 KiB transfer
 * buffers and one process per connection: two relaying processes and three TCP hops, as the
 * tunnel has (host and agent). All are ended with this object.
 */
class EchoRelay
{
public:
    explicit EchoRelay(const QString& logDir);

    bool isReady() const { return m_echoPort != 0 && m_relayPort != 0; }
    quint16 echoPort() const { return m_echoPort; }
    quint16 relayPort() const { return m_relayPort; }
    // The two relays, whose forked children do the relaying.
    QList<qint64> relayProcesses() const { return { m_first.processId(), m_second.processId() }; }

private:
    quint16 startRelay(BenchProcess& relay, quint16 to);

    BenchProcess m_echo;
    BenchProcess m_second;
    BenchProcess m_first;
    quint16 m_echoPort = 0;
    quint16 m_relayPort = 0;
};

#endif // ECHORELAY_H
