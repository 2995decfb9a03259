#include "redirtesting.h"

#include "logcapture.h"

#include <h5redir/h5redir.h>

#include <QNetworkProxy>
#include <QTcpServer>
#include <QtEndian>

#include <type_traits>
#include <vector>

namespace H5Test {

QStringList list(std::initializer_list<const char*> items)
{
    QStringList result;
    for (const char* item : items)
        result.append(QString::fromUtf8(item));
    return result;
}

QByteArray le32(qint32 value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToLittleEndian(value, bytes.data());
    return bytes;
}

QByteArray frame(qint32 command, qint32 proxyId, qint32 dataLen, const QByteArray& payload)
{
    return le32(command) + le32(proxyId) + le32(dataLen) + payload;
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
    std::vector<char> buffer(msg.cbegin(), msg.cend());
    return redir.parseSpiceData(buffer.data(), uint(buffer.size()));
}

void echoFrames(H5redir* redir, QObject* context)
{
    QObject::connect(redir, &H5redir::messageToSpice, context, [redir](const QByteArray& msg) {
        if (msg.size() > 12 && qFromLittleEndian<qint32>(msg.constData()) == 34)
            feed(*redir, le32(35) + msg.mid(4));
    });
}

QStringList h5Lines(const LogCapture& log, const QString& prefix)
{
    QStringList result;
    for (const LogLine& line : log.lines()) {
        if (!line.text.startsWith(prefix))
            continue;
        QString text = QLatin1Char("DWCFI"[line.type]) + QLatin1Char(' ') + line.text;
        if (line.category != QLatin1String("default") || line.hasContext)
            text += QLatin1String(" [category or context]");
        result.append(text);
    }
    return result;
}

namespace {

    template <typename T> QString text(const T& value)
    {
        if constexpr (std::is_same_v<T, bool>)
            return value ? QStringLiteral("true") : QStringLiteral("false");
        else if constexpr (std::is_arithmetic_v<T>)
            return QString::number(value);
        else if constexpr (std::is_same_v<T, QByteArray>)
            return QString::fromUtf8(value);
        else
            return value;
    }

} // namespace

Recorder::Recorder(H5redir* redir, const LogCapture* log)
    : m_log(log)
{
    record(redir, &H5redir::messageToSpice, "messageToSpice");
    record(redir, &H5redir::h5SetRedirectState, "h5SetRedirectState");
    record(redir, &H5redir::h5playerWindowPos, "h5playerWindowPos");
    record(redir, &H5redir::h5CreateNewPlayer, "h5CreateNewPlayer");
    record(redir, &H5redir::h5DestroyPlayer, "h5DestroyPlayer");
    record(redir, &H5redir::h5SetPlayerVisibility, "h5SetPlayerVisibility");
    record(redir, &H5redir::h5UpdateTitle, "h5UpdateTitle");
    record(redir, &H5redir::signalSetStop2Memory, "signalSetStop2Memory");
    record(redir, &H5redir::signalSetMute, "signalSetMute");
    record(redir, &H5redir::signalSetVol, "signalSetVol");
    record(redir, &H5redir::signalInitSocketServer, "signalInitSocketServer");
    record(redir, &H5redir::signalWriteDataToSocket, "signalWriteDataToSocket");
}

QStringList Recorder::timeline()
{
    add(QString());
    return m_timeline;
}

void Recorder::add(const QString& event)
{
    if (m_log) {
        const QStringList lines = h5Lines(*m_log);
        m_timeline += lines.mid(m_linesSeen);
        m_linesSeen = lines.size();
    }
    if (!event.isNull()) {
        m_timeline.append(event);
        events.append(event);
    }
}

template <typename Signal> void Recorder::record(H5redir* redir, Signal signal, const char* name)
{
    QObject::connect(redir, signal, &m_context, [this, name](const auto&... args) {
        QStringList parts;
        (parts.append(text(args)), ...);
        add(QLatin1String(name) + QLatin1Char('(') + parts.join(QLatin1Char(','))
            + QLatin1Char(')'));
    });
}

} // namespace H5Test
