#ifndef AGENT_H
#define AGENT_H

#include "channelframe.h"
#include "scenario.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>

class QTcpSocket;
class UpstreamRelay;

/*!
 * The server side of the channel: accepts one host on loopback, plays the scenario to it, checks
 * its expectations against what the client sends, and serves the client's tunnel through the
 * upstream relay. Every message, both ways, is printed as one readable line.
 */
class Agent : public QObject
{
    Q_OBJECT

public:
    // With hold, a passed scenario keeps the agent serving until it is stopped.
    Agent(const Scenario& scenario, UpstreamRelay* relay, bool hold, QObject* parent = nullptr);

    bool listen(quint16 port);
    quint16 port() const { return m_server.serverPort(); }

Q_SIGNALS:
    void finished(int exitCode);

private:
    void onNewConnection();
    void onReadyRead();
    void onDisconnected();
    void onClientMessage(const QByteArray& msg);
    void onTimeout();
    void playNext();
    bool takeMatch(const QJsonObject& pattern);
    void sendToClient(quint32 type, const QByteArray& payload, const QString& readable);
    void sendProxyData(int proxyId, const QByteArray& bytes);
    void fail(const QString& why);

    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    FrameCodec m_codec = FrameCodec::littleEndian();
    UpstreamRelay* m_relay;
    const QVector<ScenarioStep> m_steps;
    const bool m_hold;
    int m_next = 0;
    bool m_started = false;
    bool m_done = false;
    const ScenarioStep* m_expecting = nullptr;
    QTimer m_timer;
    // Client messages no expectation has claimed yet, oldest first.
    QList<QJsonObject> m_unclaimed;
};

#endif // AGENT_H
