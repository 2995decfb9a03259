#include "redirrecorder.h"

#include "logcapture.h"

#include <h5redir/h5redir.h>

QStringList list(std::initializer_list<const char*> items)
{
    QStringList result;
    for (const char* item : items)
        result.append(QString::fromUtf8(item));
    return result;
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

Recorder::Recorder(H5redir* redir)
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
