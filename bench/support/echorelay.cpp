#include "echorelay.h"

#include "benchsupport.h"
#include "loopclient.h"

#include <QCoreApplication>
#include <QThread>

namespace {

constexpr int startWaitMs = 5000;

bool accepts(quint16 port)
{
    const QList<int> probe = LoopClient::openIdle(port, 1);
    LoopClient::closeAll(probe);
    return probe.constFirst() >= 0;
}

void end(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(startWaitMs);
}

} // namespace

EchoRelay::EchoRelay()
{
    m_echo.start(
        QCoreApplication::applicationDirPath() + QLatin1String("/h5bench-echo"), QStringList());
    if (!m_echo.waitForReadyRead(startWaitMs)) {
        qWarning("h5bench-echo did not start");
        return;
    }
    m_echoPort = quint16(m_echo.readLine().trimmed().toUInt());

    const quint16 port = Bench::freeLoopbackPort();
    m_relay.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_relay.start(QStringLiteral("socat"),
        { QStringLiteral("TCP4-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork,backlog=256").arg(port),
            QStringLiteral("TCP4:127.0.0.1:%1").arg(m_echoPort) });
    if (!m_relay.waitForStarted(startWaitMs)) {
        qWarning("socat did not start");
        return;
    }
    for (int waited = 0; waited < startWaitMs; waited += 10) {
        if (accepts(port)) {
            m_relayPort = port;
            return;
        }
        QThread::msleep(10);
    }
    qWarning("socat does not listen");
}

EchoRelay::~EchoRelay()
{
    end(m_relay);
    end(m_echo);
}
