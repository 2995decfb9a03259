#ifndef LOOPCLIENT_H
#define LOOPCLIENT_H

#include <QList>
#include <QtGlobal>

/*!
 * A plain blocking TCP client on 127.0.0.1 that writes a patterned stream in fixed-size blocks
 * while a second thread reads the echo back and checks every byte. Plain sockets, so that the
 * client costs the same whichever path (tunnel, relay, direct) the bytes take.
 */
namespace LoopClient {

struct StreamResult
{
    double seconds = 0; // from the start until the last byte came back
    bool ok = false; // every byte came back, in order and unchanged
};

// A blocking connection to the loopback port whose reads and writes give up after 30 s, so that a
// stalled path shows as a failed stream rather than a hung benchmark; -1 if none.
int connectTo(quint16 port);

// One stream of `bytes` bytes in blocks of `blockSize`.
StreamResult roundTrip(quint16 port, qint64 bytes, int blockSize);

// `streams` such streams at once, started together.
QList<StreamResult> roundTrips(quint16 port, int streams, qint64 bytes, int blockSize);

// Opens `count` connections and keeps them open, idle, until closeAll().
QList<int> openIdle(quint16 port, int count);
void closeAll(const QList<int>& sockets);

} // namespace LoopClient

#endif // LOOPCLIENT_H
