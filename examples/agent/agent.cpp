#include "agent.h"

#include "browserwatcher.h"
#include "upstreamrelay.h"

#include <QJsonDocument>
#include <QTcpServer>
#include <QtEndian>

#include <cstdio>

namespace {

// After the scenario the port closes; the host has this long to let go before the agent quits.
constexpr int closeGraceMs = 1000;

// Proxy data frames of the library: command, proxy id, data length, then the payload.
constexpr int frameHeaderSize = 12;
constexpr int cmdProxyConnect = 32;
constexpr int cmdProxyDataOut = 34;
constexpr int cmdProxyDataIn = 35;
constexpr int cmdProxyDisconnect = 36;

void print(const QString& line)
{
    std::printf("%s\n", qUtf8Printable(line));
    std::fflush(stdout);
}

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// The first line of a tunnelled payload when it is text, which shows HTTP request and status lines.
QString preview(const QByteArray& payload)
{
    QByteArray line = payload.left(100);
    const int end = line.indexOf('\n');
    if (end >= 0)
        line.truncate(end > 0 && line.at(end - 1) == '\r' ? end - 1 : end);
    for (const char c : qAsConst(line)) {
        if (c < 0x20 || c > 0x7e)
            return QString();
    }
    return QStringLiteral(" \"%1\"").arg(QString::fromLatin1(line));
}

QString describeFrame(int command, int proxyId, int length, const QByteArray& payload)
{
    return QStringLiteral("frame %1 proxyid %2, %3 bytes%4")
        .arg(command)
        .arg(proxyId)
        .arg(length)
        .arg(preview(payload));
}

QString freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return QString::number(probe.serverPort());
}

} // namespace

Agent::Agent(const Scenario& scenario, const QByteArray& portName, UpstreamRelay* relay, bool hold,
    QObject* parent)
    : QObject(parent)
    , m_port(portName)
    , m_relay(relay)
    , m_steps(scenario.steps())
    , m_hold(hold)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Agent::onTimeout);
    connect(&m_port, &SpicePortServer::clientChanged, this, &Agent::onClientChanged);
    connect(&m_port, &SpicePortServer::received, this, &Agent::onReceived);
    connect(m_relay, &UpstreamRelay::dataForClient, this, &Agent::sendProxyData);
    connect(m_relay, &UpstreamRelay::event, this,
        [](const QString& line) { print(QStringLiteral("agent: ") + line); });
    // The guest side of the port is open from the start, as a service in a virtual machine
    // that opened its virtio-serial port would be.
    m_port.setPortOpen(true);
}

void Agent::onClientChanged(bool connected)
{
    m_client = connected;
    m_codec.reset();
    if (!connected) {
        print(QStringLiteral("agent: host disconnected"));
        if (m_watcher)
            m_watcher->setClientConnected(false);
        if (m_closing)
            Q_EMIT finished(0);
        else if (m_next < m_steps.size() || m_expecting)
            fail(QStringLiteral("the host went away before the scenario ended"));
        return;
    }
    print(QStringLiteral("agent: host connected"));
    if (!m_started) {
        m_started = true;
        if (m_browserTunnel)
            sendPolicy({ { QStringLiteral("enableProxy"), 1 },
                { QStringLiteral("proxyIp"), QStringLiteral("127.0.0.1") },
                { QStringLiteral("proxyPort"), QStringLiteral("${freePort}") } });
        playNext();
    } else {
        resendPolicy();
    }
    // After the policy: the browser's videos are created only now.
    if (m_watcher)
        m_watcher->setClientConnected(true);
}

void Agent::watch(BrowserWatcher* watcher, bool tunnel)
{
    m_watcher = watcher;
    m_browserTunnel = tunnel;
    connect(watcher, &BrowserWatcher::message, this, [this](const QJsonObject& message) {
        const QByteArray msg = QJsonDocument(message).toJson(QJsonDocument::Compact);
        sendToClient(ChannelFrame::Library, msg, QString::fromUtf8(msg));
    });
    connect(watcher, &BrowserWatcher::note, this,
        [](const QString& line) { print(QStringLiteral("agent: browser: ") + line); });
    watcher->setClientConnected(m_client);
}

void Agent::sendPolicy(QJsonObject policy)
{
    for (auto it = policy.begin(); it != policy.end(); ++it) {
        if (it.value() == QLatin1String("${freePort}"))
            it.value() = freeLoopbackPort();
    }
    m_policy = QJsonDocument(policy).toJson(QJsonDocument::Compact);
    sendToClient(ChannelFrame::ProxyPolicy, m_policy,
        QStringLiteral("proxy policy ") + QString::fromUtf8(m_policy));
}

void Agent::resendPolicy()
{
    if (!m_policy.isEmpty())
        sendToClient(ChannelFrame::ProxyPolicy, m_policy,
            QStringLiteral("proxy policy again ") + QString::fromUtf8(m_policy));
}

void Agent::onReceived(const char* data, int size)
{
    m_codec.decode(data, size, [this](const FrameView& frame) {
        if (!frame.error.isEmpty())
            print(QStringLiteral("agent: ") + frame.error);
        else if (frame.type == ChannelFrame::Library)
            onClientMessage(QByteArray::fromRawData(frame.payload, frame.size));
        else
            print(QStringLiteral("agent: unknown frame type %1 (%2 bytes), skipped")
                      .arg(frame.type)
                      .arg(frame.size));
    });
}

void Agent::onClientMessage(const QByteArray& msg)
{
    const QJsonDocument document = QJsonDocument::fromJson(msg);
    QJsonObject seen;
    if (document.isObject()) {
        seen = document.object();
        print(QStringLiteral("client -> server: ") + QString::fromUtf8(msg));
        if (m_watcher)
            m_watcher->handleClientMessage(seen);
        const int proxyId = seen.value(QLatin1String("proxyid")).toInt();
        const int command = seen.value(QLatin1String("commandId")).toInt();
        if (command == cmdProxyConnect)
            m_relay->open(proxyId);
        else if (command == cmdProxyDisconnect)
            m_relay->close(proxyId);
    } else if (msg.size() > frameHeaderSize
        && qFromLittleEndian<qint32>(msg.constData()) == cmdProxyDataOut) {
        const int proxyId = qFromLittleEndian<qint32>(msg.constData() + 4);
        const int length = qFromLittleEndian<qint32>(msg.constData() + 8);
        const QByteArray payload = msg.mid(frameHeaderSize);
        if (length != payload.size()) {
            print(
                QStringLiteral("agent: malformed proxy frame: data length %1 but %2 bytes, ignored")
                    .arg(length)
                    .arg(payload.size()));
            return;
        }
        print(QStringLiteral("client -> server: ")
            + describeFrame(cmdProxyDataOut, proxyId, length, payload));
        m_relay->write(proxyId, payload);
        seen = { { QLatin1String("commandId"), cmdProxyDataOut },
            { QLatin1String("proxyid"), proxyId }, { QLatin1String("length"), length } };
    } else {
        print(QStringLiteral("agent: malformed library message (%1 bytes: %2), ignored")
                  .arg(msg.size())
                  .arg(QString::fromLatin1(msg.left(16).toHex(' '))));
        return;
    }
    m_unclaimed.append(seen);
    if (m_expecting && takeMatch(m_expecting->object)) {
        m_expecting = nullptr;
        m_timer.stop();
        playNext();
    }
}

void Agent::onTimeout()
{
    if (m_expecting) {
        fail(QStringLiteral("line %1: no %2 within %3 ms")
                 .arg(m_expecting->line)
                 .arg(compact(m_expecting->object))
                 .arg(m_expecting->ms));
        return;
    }
    playNext();
}

void Agent::playNext()
{
    while (m_next < m_steps.size()) {
        const ScenarioStep& step = m_steps.at(m_next++);
        switch (step.kind) {
        case ScenarioStep::Send: {
            const QByteArray msg = QJsonDocument(step.object).toJson(QJsonDocument::Compact);
            sendToClient(ChannelFrame::Library, msg, QString::fromUtf8(msg));
            break;
        }
        case ScenarioStep::Policy:
            sendPolicy(step.object);
            break;
        case ScenarioStep::Raw:
            print(QStringLiteral("server -> client: raw bytes %1")
                      .arg(QString::fromLatin1(step.bytes.toHex(' '))));
            m_port.write(step.bytes);
            break;
        case ScenarioStep::Note:
            print(QStringLiteral("agent: -- ") + step.text);
            break;
        case ScenarioStep::Setup:
            break;
        case ScenarioStep::Port:
            print(QStringLiteral("agent: port ") + step.text);
            m_port.setPortOpen(step.text == QLatin1String("open"));
            // A host releases its tunnel when the port closes: it comes back with a policy.
            if (step.text == QLatin1String("open"))
                resendPolicy();
            break;
        case ScenarioStep::Wait:
            m_timer.start(step.ms);
            return;
        case ScenarioStep::Expect:
            if (takeMatch(step.object))
                break;
            m_expecting = &step;
            m_timer.start(step.ms);
            return;
        }
    }
    if (m_steps.isEmpty() && m_hold)
        return; // nothing to play: the agent just serves
    print(QStringLiteral("agent: scenario passed"));
    if (m_hold)
        return;
    m_done = true;
    closePort();
}

// Closes the port once the host has been sent everything, and quits when the host lets go.
void Agent::closePort()
{
    if (m_port.hasPending()) {
        QTimer::singleShot(10, this, &Agent::closePort);
        return;
    }
    m_port.setPortOpen(false);
    m_closing = true;
    if (!m_client) {
        Q_EMIT finished(0);
        return;
    }
    QTimer::singleShot(closeGraceMs, this, [this] { Q_EMIT finished(0); });
}

bool Agent::takeMatch(const QJsonObject& pattern)
{
    for (auto seen = m_unclaimed.begin(); seen != m_unclaimed.end(); ++seen) {
        bool matches = true;
        for (auto it = pattern.begin(); it != pattern.end() && matches; ++it)
            matches = seen->value(it.key()) == it.value();
        if (matches) {
            print(QStringLiteral("agent: expected and seen: ") + compact(pattern));
            m_unclaimed.erase(seen);
            return true;
        }
    }
    return false;
}

void Agent::sendToClient(quint32 type, const QByteArray& payload, const QString& readable)
{
    print(QStringLiteral("server -> client: ") + readable);
    m_port.write(m_codec.encode(type, payload));
}

void Agent::sendProxyData(int proxyId, const QByteArray& bytes)
{
    QByteArray frame(frameHeaderSize, Qt::Uninitialized);
    qToLittleEndian<qint32>(cmdProxyDataIn, frame.data());
    qToLittleEndian<qint32>(proxyId, frame.data() + 4);
    qToLittleEndian<qint32>(bytes.size(), frame.data() + 8);
    sendToClient(ChannelFrame::Library, frame + bytes,
        describeFrame(cmdProxyDataIn, proxyId, bytes.size(), bytes));
}

void Agent::stop()
{
    if (m_next < m_steps.size() || m_expecting)
        fail(QStringLiteral("stopped before the scenario ended"));
    else
        Q_EMIT finished(0);
}

void Agent::fail(const QString& why)
{
    m_done = true;
    m_expecting = nullptr;
    m_timer.stop();
    print(QStringLiteral("agent: FAILED: ") + why);
    for (const QJsonObject& seen : qAsConst(m_unclaimed))
        print(QStringLiteral("agent:   unclaimed: ") + compact(seen));
    Q_EMIT finished(1);
}
