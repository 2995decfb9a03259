#ifndef BENCHHOST_H
#define BENCHHOST_H

#include <h5redir/h5redir.h>

#include <QByteArray>
#include <QQuickWindow>

/*!
 * A host as far as the benchmarks need one: its main window, the redirector, the channel open.
 */
class BenchHost
{
public:
    BenchHost()
    {
        redir.SetZorvWindow(&mainWindow);
        redir.SetH5ChannelState(true);
    }

    // Hands one server message to the library, as the host's channel would.
    void send(QByteArray msg) { redir.parseSpiceData(msg.data(), uint(msg.size())); }

    static QByteArray createRequest(int tabid)
    {
        return R"({"commandId":2,"id":)" + QByteArray::number(tabid)
            + R"(,"data":"https://video.example/2-class/lesson.html"})";
    }
    static QByteArray destroyRequest(int tabid)
    {
        return R"({"commandId":26,"id":)" + QByteArray::number(tabid) + '}';
    }

    QQuickWindow mainWindow;
    H5redir redir;
};

#endif // BENCHHOST_H
