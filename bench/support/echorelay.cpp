#include "echorelay.h"

#include "benchsupport.h"

#include <QCoreApplication>

EchoRelay::EchoRelay(const QString& logDir)
    : m_echo(QStringLiteral("echo"), logDir)
    , m_second(QStringLiteral("socat-2"), logDir)
    , m_first(QStringLiteral("socat-1"), logDir)
{
    if (!m_echo.start(QCoreApplication::applicationDirPath() + QLatin1String("/h5bench-echo"), {}))
        return;
    const quint16 echo = quint16(m_echo.waitFor(QRegularExpression(QStringLiteral("^(\\d+)"))).toUInt());
    const quint16 second = echo ? startRelay(m_second, echo) : 0;
    m_relayPort = second ? startRelay(m_first, second) : 0;
    m_echoPort = echo;
}

quint16 EchoRelay::startRelay(BenchProcess& relay, quint16 to)
{
    const quint16 port = Bench::freeLoopbackPort();
    if (!relay.start(QStringLiteral("socat"),
            { QStringLiteral("-b"), QStringLiteral("65536"),
                QStringLiteral("TCP4-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork,backlog=1024").arg(port),
                QStringLiteral("TCP4:127.0.0.1:%1").arg(to) }))
        return 0;
    return waitForListener(port) ? port : 0;
}
