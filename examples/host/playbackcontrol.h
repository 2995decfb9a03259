#ifndef PLAYBACKCONTROL_H
#define PLAYBACKCONTROL_H

#include <QObject>
#include <QSocketNotifier>

class H5redir;

/*!
 * The client's playback settings as a user changes them: lines on standard input,
 * "volume PERCENT" or "mute on|off", each reported to the library as the client's own change.
 */
class PlaybackControl : public QObject
{
    Q_OBJECT

public:
    explicit PlaybackControl(H5redir* redir, QObject* parent = nullptr);

private:
    void onReadable();

    H5redir* m_redir;
    QSocketNotifier m_input;
    QByteArray m_pending;
};

#endif // PLAYBACKCONTROL_H
