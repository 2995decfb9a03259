#ifndef AGENT_H
#define AGENT_H

#include "channelframe.h"
#include "scenario.h"
#include "spiceportserver.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QTimer>

class BrowserWatcher;
class UpstreamRelay;

/*!
 * The server side of the channel: a SPICE server on loopback whose named port carries the
 * channel. It plays the scenario to the host that opens the port, checks its expectations
 * against what the client sends, and serves the client's tunnel through the upstream relay.
 * Every message, both ways, is printed as one readable line.
 */
class Agent : public QObject
{
    Q_OBJECT

public:
    // With hold, a passed scenario keeps the agent serving until it is stopped; an empty
    // scenario with hold just serves.
    Agent(const Scenario& scenario, const QByteArray& portName, UpstreamRelay* relay, bool hold,
        QObject* parent = nullptr);

    bool listen(quint16 port) { return m_port.listen(port); }
    quint16 port() const { return m_port.port(); }
    // The SPICE server whose port carries the channel, for the other devices it serves.
    SpicePortServer* spiceServer() { return &m_port; }

    // Sends the watcher's messages to the client and the client's answers to the watcher, which
    // stays the caller's. With tunnel, a host that connects first gets a proxy policy, so that
    // its players fetch through the relay as the browser does.
    void watch(BrowserWatcher* watcher, bool tunnel);

    // Ends the agent from outside (a signal): finished() tells whether the scenario was through.
    void stop();

Q_SIGNALS:
    void finished(int exitCode);

private:
    void onClientChanged(bool connected);
    void onReceived(const char* data, int size);
    void sendPolicy(QJsonObject policy);
    void resendPolicy();
    void onClientMessage(const QByteArray& msg);
    void onTimeout();
    void playNext();
    bool takeMatch(const QJsonObject& pattern);
    void sendToClient(quint32 type, const QByteArray& payload, const QString& readable);
    void sendProxyData(int proxyId, const QByteArray& bytes);
    void fail(const QString& why);
    void closePort();

    SpicePortServer m_port;
    bool m_client = false;
    FrameCodec m_codec = FrameCodec::littleEndian();
    UpstreamRelay* m_relay;
    const QVector<ScenarioStep> m_steps;
    const bool m_hold;
    int m_next = 0;
    bool m_started = false;
    bool m_done = false;
    bool m_closing = false; // passed, and the port closed: the host's leaving ends the agent
    const ScenarioStep* m_expecting = nullptr;
    QTimer m_timer;
    BrowserWatcher* m_watcher = nullptr;
    bool m_browserTunnel = false;
    QByteArray m_policy; // the last proxy policy sent, sent again to a host that comes back
    // Client messages no expectation has claimed yet, oldest first.
    QList<QJsonObject> m_unclaimed;
};

#endif // AGENT_H
