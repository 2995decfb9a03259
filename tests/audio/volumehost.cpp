// A host reduced to what makes the library start its volume script: one admitted player, whose
// successful creation starts the memory monitor, and, once the monitor has applied its initial
// state, a change of the client's volume to 30 and mute to true. It watches the calls the
// script's stand-in records and exits 0 once the changed state was applied, 1 after 20 s.
//
//   h5redir-volume-host CALLS_FILE

#include <h5redir/h5redir.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QGuiApplication>
#include <QQuickWindow>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

QByteArray readAll(const QString& fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

int main(int argc, char* argv[])
{
    QGuiApplication app(argc, argv);
    if (app.arguments().size() != 2) {
        std::fprintf(stderr, "usage: h5redir-volume-host CALLS_FILE\n");
        return 2;
    }
    const QString callsFile = app.arguments().at(1);

    auto redir = std::make_unique<H5redir>();
    QQuickWindow player;
    QObject::connect(redir.get(), &H5redir::h5CreateNewPlayer,
        [&](int tabid) { redir->onCreatePlayerResult(tabid, true, &player); });
    QByteArray create(R"({"commandId":2,"id":7,"data":"https://video.example/lesson.html"})");
    redir->parseSpiceData(create.data(), uint(create.size()));

    const QDeadlineTimer deadline(20 * 1000);
    bool changed = false;
    int exitCode = 1;
    QTimer poll;
    poll.setInterval(50);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const QByteArray calls = readAll(callsFile);
        if (!changed && calls.contains("[false]")) {
            redir->PlaybackVolumeChange(30);
            redir->PlaybackMuteChange(true);
            changed = true;
        } else if (changed && calls.contains("[30%]") && calls.contains("[toggle]")) {
            exitCode = 0;
        }
        if (exitCode == 0 || deadline.hasExpired()) {
            poll.stop();
            redir.reset(); // stops the monitor
            app.quit();
        }
    });
    poll.start();
    app.exec();
    return exitCode;
}
