#include "h5redir.h"

#include "h5commands.h"
#include "h5log.h"

#include <QJsonDocument>
#include <QJsonObject>

int H5redir::parseSpiceData(void *data, unsigned int len)
{
    if (!data) {
        H5_DEBUG << "H5" << "parseSpiceData" << "parseSpiceData" << "Invalid parameter";
        return -1;
    }
    HandleServerMsg(static_cast<char *>(data), len);
    return 0;
}

void H5redir::SendMsgToZorv(QByteArray &msg)
{
    if (msg.isEmpty()) {
        H5_DEBUG << "H5" << "SendMsgToZorv" << "SendMsgToZorv" << "Invalid parameter";
        return;
    }
    // Counted before the emission: a host may report its backlog from inside its slot, and may
    // even delete this object there.
    if (m_nChannelBacklog >= 0) {
        m_nUnreported += msg.size();
        FollowChannelBacklog();
    }
    emit messageToSpice(msg, H5ChannelMessageType);
}

void H5redir::SendJsonMsg(const QJsonObject &object)
{
    QByteArray msg = QJsonDocument(object).toJson(QJsonDocument::Compact);
    SendMsgToZorv(msg);
}

void H5redir::SetDataLen(unsigned char *buf, int len)
{
    if (!buf || len == 0) {
        H5_DEBUG << "H5" << "SetDataLen" << "SetDataLen" << "Invalid parameter";
        return;
    }
    const auto value = static_cast<quint32>(len);
    for (int i = 0; i < 4; ++i)
        buf[i] = static_cast<unsigned char>(value >> (8 * i));
}

void H5redir::GetDataLen(unsigned char *buf, unsigned int &len)
{
    if (!buf) {
        H5_DEBUG << "H5" << "GetDataLen" << "GetDataLen" << "Invalid parameter";
        return;
    }
    len = quint32(buf[0]) | quint32(buf[1]) << 8 | quint32(buf[2]) << 16 | quint32(buf[3]) << 24;
}
