#include "tunnelpeer.h"

#include "channelmessages.h"
#include "redirtesting.h"

#include <h5redir/h5redir.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

TunnelPeer::TunnelPeer(H5redir* redir, QObject* parent)
    : QObject(parent)
    , m_redir(redir)
{
    connect(redir, &H5redir::messageToSpice, this, &TunnelPeer::receive);
}

void TunnelPeer::receive(const QByteArray& msg, uint type)
{
    ++m_messages;
    if (type != 113)
        fault(QStringLiteral("message type %1").arg(type));
    if (!msg.startsWith('{')) {
        receiveFrame(msg);
        return;
    }
    const QJsonObject json = QJsonDocument::fromJson(msg).object();
    const int command = json.value(QLatin1String("commandId")).toInt(-1);
    const int proxyId = json.value(QLatin1String("proxyid")).toInt(-1);
    if (command == 30 && msg == R"({"commandId":30,"port":0})") {
        ++m_policies;
    } else if (command == 32 && msg == H5Test::proxyMsg(32, proxyId)) {
        if (m_open.contains(proxyId))
            fault(QStringLiteral("32 for open stream %1").arg(proxyId));
        Stream stream;
        stream.proxyId = proxyId;
        stream.hash.reset(new QCryptographicHash(QCryptographicHash::Sha256));
        m_open.insert(proxyId, m_streams.size());
        m_streams.push_back(std::move(stream));
    } else if (command == 36 && msg == H5Test::proxyMsg(36, proxyId)) {
        if (!m_open.contains(proxyId)) {
            fault(QStringLiteral("36 for no stream %1").arg(proxyId));
            return;
        }
        Stream& stream = m_streams[m_open.take(proxyId)];
        stream.sha256 = stream.hash->result();
        stream.hash.reset();
        stream.ended = true;
        ++m_ended;
    } else {
        fault(QStringLiteral("unexpected message %1").arg(QString::fromUtf8(msg.left(80))));
    }
}

void TunnelPeer::receiveFrame(const QByteArray& msg)
{
    if (msg.size() <= 12 || qFromLittleEndian<qint32>(msg.constData()) != 34) {
        fault(QStringLiteral("not a frame 34: %1").arg(QString::fromLatin1(msg.left(16).toHex())));
        return;
    }
    const qint32 proxyId = qFromLittleEndian<qint32>(msg.constData() + 4);
    const qint32 length = qFromLittleEndian<qint32>(msg.constData() + 8);
    if (length != msg.size() - 12)
        fault(QStringLiteral("frame length %1 with %2 bytes").arg(length).arg(msg.size() - 12));
    const auto it = m_open.constFind(proxyId);
    if (it == m_open.cend()) {
        fault(QStringLiteral("34 for no stream %1").arg(proxyId));
        return;
    }
    Stream& stream = m_streams[*it];
    const QByteArray payload = msg.mid(12);
    stream.hash->addData(payload);
    stream.bytes += payload.size();
    if (stream.head.size() < m_keptBytes)
        stream.head += payload.left(m_keptBytes - stream.head.size());
    m_bytes += payload.size();
    if (m_echo)
        H5Test::feed(*m_redir, H5Test::frame(35, proxyId, length, payload));
}

void TunnelPeer::fault(const QString& text)
{
    // A broken run can produce millions; the first ones tell the story.
    if (m_faults.size() < 20)
        m_faults.append(text);
}
