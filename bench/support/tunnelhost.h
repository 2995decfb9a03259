#ifndef TUNNELHOST_H
#define TUNNELHOST_H

#include <h5redir/h5redir.h>

#include <QObject>

/*!
 * A host with the local proxy tunnel running, whose channel is an echo: every frame 34 the
 * library sends comes straight back as a frame 35 for the same proxy id, so whatever a local
 * client writes into the loopback port it reads back. The channel side costs one copy of each
 * frame, as a real channel's send and receive would.
 */
class TunnelHost : public QObject
{
    Q_OBJECT

public:
    explicit TunnelHost(QObject* parent = nullptr);

    quint16 port() const { return m_port; }

private:
    void echo(const QByteArray& msg, uint type);

    H5redir m_redir;
    quint16 m_port = 0;
};

#endif // TUNNELHOST_H
