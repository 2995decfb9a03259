#ifndef CHANNELMESSAGES_H
#define CHANNELMESSAGES_H

#include <QByteArray>
#include <QtGlobal>

class H5redir;

// A 32-bit little-endian field, as every proxy data frame header carries them.
QByteArray le32(qint32 value);
// A proxy data frame: the header as given, whatever the payload really holds, then the payload.
QByteArray frame(qint32 command, qint32 proxyId, qint32 length, const QByteArray& payload = {});
// {"commandId":command,"proxyid":proxyId}, as the redirector sends 32 and 36.
QByteArray proxyMsg(int command, int proxyId);
QByteArray policyText(const char* enable, const char* host, const QByteArray& port);
// The policy that starts the local proxy on 127.0.0.1 at `port`.
QByteArray localPolicy(quint16 port);
// A loopback port nobody listens on right now.
quint16 freeLoopbackPort();

// Hands the message to parseSpiceData from a heap buffer of exactly its size, so that a read
// beyond it is a fault under ASan.
int feed(H5redir& redir, const QByteArray& msg);

#endif // CHANNELMESSAGES_H
