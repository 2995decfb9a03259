#include "tunnelhost.h"

#include "benchsupport.h"

#include <QtEndian>

namespace {

constexpr qint32 frameOut = 34;
constexpr qint32 frameIn = 35;
constexpr int headerSize = 12;

} // namespace

TunnelHost::TunnelHost(QObject* parent)
    : QObject(parent)
    , m_port(Bench::freeLoopbackPort())
{
    connect(&m_redir, &H5redir::messageToSpice, this, &TunnelHost::echo);
    m_redir.onProxyPolicy(Bench::localProxyPolicy(m_port));
}

void TunnelHost::echo(const QByteArray& msg, uint)
{
    if (msg.size() <= headerSize || qFromLittleEndian<qint32>(msg.constData()) != frameOut) {
        return;
    }
    QByteArray back = msg;
    qToLittleEndian(frameIn, back.data());
    m_redir.parseSpiceData(back.data(), uint(back.size()));
}
