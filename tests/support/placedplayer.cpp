#include "placedplayer.h"

#include "redirtesting.h"

PlacedPlayer::PlacedPlayer()
{
    redir.SetZorvWindow(&zorv);
    H5Test::feed(redir, R"({"commandId":2,"id":3,"data":"u"})");
    // Stored directly: a creation result would also start the memory monitor.
    redir.SaveWindowInBRData(3, &player);
    H5Test::feed(redir, R"({"commandId":22,"id":3,"left":10,"top":20,"width":160,"height":90})");
}
