#ifndef PLACEDPLAYER_H
#define PLACEDPLAYER_H

#include <h5redir/h5redir.h>

#include <QQuickWindow>

/*!
 * A redirector with the host's main window and one player, tab 3, in a window of its own at
 * (10, 20), 160 x 90, as the server placed it. The free stand-in must admit the create request.
 */
struct PlacedPlayer
{
    PlacedPlayer();

    H5redir redir;
    QQuickWindow zorv;
    QQuickWindow player;
};

#endif // PLACEDPLAYER_H
