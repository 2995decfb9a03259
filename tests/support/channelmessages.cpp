#include "channelmessages.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QtEndian>

namespace H5Test {

QByteArray le32(qint32 value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToLittleEndian(value, bytes.data());
    return bytes;
}

QByteArray proxyMsg(int command, int proxyId)
{
    return "{\"commandId\":" + QByteArray::number(command)
        + ",\"proxyid\":" + QByteArray::number(proxyId) + '}';
}

QByteArray policyText(const char* enable, const char* host, const QByteArray& port)
{
    return "{\"enableProxy\":" + QByteArray(enable) + ",\"proxyIp\":\"" + host
        + "\",\"proxyPort\":" + port + '}';
}

QByteArray localPolicy(quint16 port)
{
    return policyText("1", "127.0.0.1", '"' + QByteArray::number(port) + '"');
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.setProxy(QNetworkProxy::NoProxy);
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace H5Test
