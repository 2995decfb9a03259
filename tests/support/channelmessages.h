#ifndef CHANNELMESSAGES_H
#define CHANNELMESSAGES_H

#include <QByteArray>
#include <QtGlobal>

// The messages of the proxy tunnel, as the tests build them; frames are H5Test::frame().
namespace H5Test {

// A 32-bit little-endian field, as every proxy data frame header carries them.
QByteArray le32(qint32 value);
// {"commandId":command,"proxyid":proxyId}, as the redirector sends 32 and 36.
QByteArray proxyMsg(int command, int proxyId);
QByteArray policyText(const char* enable, const char* host, const QByteArray& port);
// The policy that starts the local proxy on 127.0.0.1 at `port`.
QByteArray localPolicy(quint16 port);
// A loopback port nobody listens on right now.
quint16 freeLoopbackPort();

} // namespace H5Test

#endif // CHANNELMESSAGES_H
