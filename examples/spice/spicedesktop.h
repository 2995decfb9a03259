#ifndef SPICEDESKTOP_H
#define SPICEDESKTOP_H

#include <QImage>
#include <QObject>

typedef struct _SpiceSession SpiceSession;
typedef struct _SpiceChannel SpiceChannel;

/*!
 * The remote desktop's picture: the primary surface of a SPICE session's first display channel
 * (spice-client-glib), copied into a QImage of its own as the server draws it.
 *
 * It connects that display channel itself and follows its primary surface being created, drawn,
 * marked ready and destroyed; the copy never points into the channel's memory, so the picture
 * stays valid whatever the session does. The caller hands it each new session (follow(), e.g.
 * from SpicePortClient::sessionStarted) and draws image() where it likes, one server pixel per
 * pixel; changed() says which part to draw again.
 */
class SpiceDesktop : public QObject
{
    Q_OBJECT

public:
    explicit SpiceDesktop(QObject* parent = nullptr);
    ~SpiceDesktop() override;

    // Follows this session's desktop from now on, and lets go of the previous session.
    void follow(SpiceSession* session);
    // The desktop as last drawn; a null image while the server shows none.
    const QImage& image() const { return m_image; }

Q_SIGNALS:
    // The desktop appeared, went (QSize()) or changed its size; the whole picture changed.
    void sizeChanged(const QSize& size);
    // This rectangle of image() was drawn again.
    void changed(const QRect& rect);
    // The server's desktop cannot be shown, in words.
    void problem(const QString& line);

private:
    static void onChannelNew(SpiceSession* session, SpiceChannel* channel, void* self);
    static void onChannelDestroy(SpiceSession* session, SpiceChannel* channel, void* self);
    static void onPrimaryCreate(SpiceChannel* channel, int format, int width, int height,
        int stride, int shmid, void* data, void* self);
    static void onPrimaryDestroy(SpiceChannel* channel, void* self);
    static void onInvalidate(SpiceChannel* channel, int x, int y, int w, int h, void* self);
    static void onMark(SpiceChannel* channel, int mark, void* self);

    void copy(const QRect& rect);
    void leaveDisplay();

    SpiceSession* m_session = nullptr; // referenced while followed
    SpiceChannel* m_display = nullptr;
    QImage m_primary; // over the channel's memory: valid from primary-create to primary-destroy
    QImage m_image; // what is shown: a copy of the primary once the server marked it ready
};

#endif // SPICEDESKTOP_H
