#include "h5redir.h"

#include "h5commands.h"
#include "h5log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtEndian>

#include <climits>
#include <cstring>

namespace {

qint32 readFrameField(const char *field)
{
    return qFromLittleEndian<qint32>(field);
}

// A message's text as a byte array, without copying the bytes. QByteArray::fromRawData() would
// allocate a header for every message; a kept raw array is re-pointed at each message instead.
// Each use takes the kept array for itself, so a message handled inside another's signals gets
// one of its own.
class MessageText
{
public:
    MessageText(const char *data, int size)
    {
        m_text.swap(kept());
        m_text.setRawData(data, uint(size));
    }
    ~MessageText() { m_text.swap(kept()); }

    const QByteArray &bytes() const { return m_text; }

private:
    static QByteArray &kept()
    {
        static thread_local QByteArray array;
        return array;
    }

    QByteArray m_text;

    Q_DISABLE_COPY(MessageText)
};

} // namespace

void H5redir::HandleServerMsg(char *data, unsigned long len)
{
    if (!data || len == 0) {
        H5_DEBUG << "H5" << "HandleServerMsg" << "HandleServerMsg" << "Invalid parameter";
        return;
    }

    // The text ends at the first zero byte: a proxy data frame reads as a short non-JSON text.
    const auto *end = static_cast<const char *>(std::memchr(data, 0, len));
    const unsigned long textLen = end ? static_cast<unsigned long>(end - data) : len;
    const MessageText message(data, int(qMin<unsigned long>(textLen, INT_MAX)));
    const QByteArray &text = message.bytes();
    const QJsonDocument document = QJsonDocument::fromJson(text);

    if (!document.isObject()) {
        if (len <= static_cast<unsigned long>(H5FrameHeaderSize))
            return;
        const qint32 command = readFrameField(data);
        const qint32 proxyId = readFrameField(data + 4);
        const qint32 dataLen = readFrameField(data + 8);
        H5_DEBUG << "H5" << "HandleServerMsg" << "command id :" << command << ",proxy id:" << proxyId
                 << ",proxy data len:" << dataLen;
        if (command != CmdProxyDataIn || proxyId < 1 || dataLen < 1)
            return;
        const unsigned long present = len - H5FrameHeaderSize;
        if (static_cast<unsigned long>(dataLen) > present) {
            H5_CRITICAL << "H5" << "HandleServerMsg" << "proxy data len beyond message, drop frame:"
                        << dataLen << "present:" << present;
            return;
        }
        emit signalWriteDataToSocket(proxyId, QByteArray(data + H5FrameHeaderSize, dataLen));
        return;
    }

    const QJsonObject json = document.object();
    const int commandId = json.value(QLatin1String("commandId")).toInt(0);
    if (commandId == -1) {
        H5_CRITICAL << "H5" << "HandleServerMsg" << "invalid commandid";
        return;
    }
    // Only a missing member reads as undefined; one lookup serves the presence check and the read.
    const QJsonValue id = json.value(QLatin1String("id"));
    if (id.isUndefined()) {
        H5_CRITICAL << "H5" << "HandleServerMsg" << "can not find id from json";
        return;
    }
    const int tabid = id.toInt(0);
    H5_DEBUG << "H5" << "HandleServerMsg" << "read info from Json, tabid:" << tabid
             << ", commandId:" << commandId;
    if (tabid == -1) {
        H5_CRITICAL << "H5" << "HandleServerMsg" << "invalid tabid";
        return;
    }

    switch (commandId) {
    case CmdCreatePlayer: {
        if (!m_bWebEngine) {
            H5_CRITICAL << "H5" << "HandleServerMsg" << "HandleServerMsg"
                        << "No WebEngine module,so not allow this Redirect";
            SendCreateResultMsg(tabid, false);
            return;
        }
        // A tab shows one player at a time: the server's new request replaces the old one.
        DelBRDataInfoById(tabid);
        const QString url = json.value(QLatin1String("data")).toString();
        H5_DEBUG << "H5" << "HandleServerMsg" << "read url from Json :" << url;
        // Pages marked "2-class" are light enough to be admitted on the lower threshold.
        if (!IsMemoryAllow(url.contains(QLatin1String("2-class")))) {
            H5_CRITICAL << "H5" << "HandleServerMsg" << "memory not allow";
            SendCreateResultMsg(tabid, false);
            return;
        }
        BRData record;
        record.tabid = tabid;
        {
            QMutexLocker locker(&m_mutex);
            m_listBRData.append(record);
        }
        emit h5CreateNewPlayer(tabid, 0, 0, 0, 0, url);
        return;
    }
    case CmdSetTitle: {
        const QString title = json.value(QLatin1String("data")).toString();
        H5_DEBUG << "H5" << "HandleServerMsg" << "read title from Json :" << title;
        emit h5UpdateTitle(tabid, title);
        return;
    }
    case CmdSetVisible: {
        const bool visible = json.value(QLatin1String("data")).toBool(false);
        H5_DEBUG << "H5" << "HandleServerMsg" << "read visible from Json :" << visible;
        SaveVisibleInBRData(tabid, visible);
        emit h5SetPlayerVisibility(tabid, visible);
        return;
    }
    case CmdSetPosition: {
        const int left = json.value(QLatin1String("left")).toInt(0);
        const int top = json.value(QLatin1String("top")).toInt(0);
        const int width = json.value(QLatin1String("width")).toInt(0);
        const int height = json.value(QLatin1String("height")).toInt(0);
        H5_DEBUG << "H5" << "HandleServerMsg" << "read pos from Json :" << left << top << width
                 << height;
        SavePosInBRData(tabid, left, top, width, height);
        // An empty rectangle is remembered for clipping but would only collapse the window.
        if (width != 0 && height != 0)
            emit h5playerWindowPos(tabid, left, top, width, height);
        return;
    }
    case CmdClipRegion:
        ClipWindow(tabid, json.value(QLatin1String("data")).toArray());
        return;
    case CmdDestroyPlayer:
        DelBRDataInfoById(tabid);
        if (IsNoBRData()) {
            emit h5SetRedirectState(false);
            StopMemoryThread();
        }
        return;
    case CmdDestroyAllPlayers:
        DelAllBRData();
        emit h5SetRedirectState(false);
        StopMemoryThread();
        return;
    default:
        H5_DEBUG << "H5" << "HandleServerMsg" << "recv unkonw msg:" << QString::fromUtf8(text);
        return;
    }
}
