#include "playbackcontrol.h"

#include <h5redir/h5redir.h>

#include <unistd.h>

#include <cstdio>

PlaybackControl::PlaybackControl(H5redir* redir, QObject* parent)
    : QObject(parent)
    , m_redir(redir)
    , m_input(STDIN_FILENO, QSocketNotifier::Read)
{
    connect(&m_input, &QSocketNotifier::activated, this, &PlaybackControl::onReadable);
}

void PlaybackControl::onReadable()
{
    char buffer[256];
    const ssize_t size = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (size <= 0) { // the end of the input, or none to read from
        m_input.setEnabled(false);
        return;
    }
    m_pending.append(buffer, int(size));
    for (int end = m_pending.indexOf('\n'); end >= 0; end = m_pending.indexOf('\n')) {
        const QList<QByteArray> words = m_pending.left(end).simplified().split(' ');
        m_pending.remove(0, end + 1);
        if (words.first().isEmpty())
            continue;
        bool ok = false;
        const uint volume = words.value(1).toUInt(&ok);
        if (words.size() == 2 && words.first() == "volume" && ok && volume <= 0xffff)
            m_redir->PlaybackVolumeChange(quint16(volume));
        else if (words.size() == 2 && words.first() == "mute"
            && (words.at(1) == "on" || words.at(1) == "off"))
            m_redir->PlaybackMuteChange(words.at(1) == "on");
        else
            std::printf("host: playback: not understood: %s (volume PERCENT, mute on|off)\n",
                words.join(' ').constData());
        std::fflush(stdout);
    }
}
