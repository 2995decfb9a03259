#include "channelmessages.h"

#include <h5redir/h5redir.h>

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QtEndian>

#include <algorithm>
#include <memory>

QByteArray le32(qint32 value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToLittleEndian(value, bytes.data());
    return bytes;
}

QByteArray frame(qint32 command, qint32 proxyId, qint32 length, const QByteArray& payload)
{
    return le32(command) + le32(proxyId) + le32(length) + payload;
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

int feed(H5redir& redir, const QByteArray& msg)
{
    // Not a std::vector: an empty message must still hand over a real, zero-sized allocation.
    const std::unique_ptr<char[]> buffer(new char[size_t(msg.size())]);
    std::copy(msg.cbegin(), msg.cend(), buffer.get());
    return redir.parseSpiceData(buffer.get(), uint(msg.size()));
}
