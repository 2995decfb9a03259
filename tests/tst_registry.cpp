// The player registry and the clipping of player windows: lookups, stores and removals in
// creation order under the registry lock, and the masks that clip commands leave on real windows.
#include <h5redir/h5redir.h>
#include "logcapture.h"
#include "redirtesting.h"
#include "standins.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QQuickWindow>
#include <QTest>

#include <future>

using namespace H5Test;

namespace {

QByteArray create(int tabid)
{
    return R"({"commandId":2,"data":"u","id":)" + QByteArray::number(tabid) + '}';
}

// A mask no clip command produces, to tell "left as it was" from "set".
const QRegion untouched(1, 1, 1, 1);

} // namespace

class TestRegistry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { m_standIns.setAvailable(1000); }
    void removals();
    void destroyedUnderLock_data();
    void destroyedUnderLock();
    void clip_data();
    void clip();
    void clipRejected();

private:
    StandIns m_standIns; // create requests run "free -m"
};

void TestRegistry::removals()
{
    H5redir redir;
    for (int tabid : { 5, 3, 9 })
        feed(redir, create(tabid));
    Recorder recorder(&redir);
    // The record asked for goes, once; the others keep their creation order.
    redir.DelBRDataInfoById(3);
    redir.DelBRDataInfoById(3);
    redir.DelAllBRData();
    QCOMPARE(recorder.events,
        list({ "h5DestroyPlayer(3)", "h5DestroyPlayer(5)", "h5DestroyPlayer(9)" }));
    QVERIFY(redir.IsNoBRData());
}

void TestRegistry::destroyedUnderLock_data()
{
    QTest::addColumn<int>("operation");
    QTest::newRow("DelBRDataInfoById") << 0;
    QTest::newRow("DelAllBRData") << 1;
    QTest::newRow("low-memory stop") << 2;
}

void TestRegistry::destroyedUnderLock()
{
    QFETCH(int, operation);

    H5redir redir;
    feed(redir, create(5));
    // A registry read from another thread, started while the host learns of the removal, gets
    // its answer only once the removal is complete.
    std::future<bool> emptyAfter;
    QObject::connect(&redir, &H5redir::h5DestroyPlayer, [&redir, &emptyAfter] {
        emptyAfter = std::async(std::launch::async, [&redir] { return redir.IsNoBRData(); });
        emptyAfter.wait_for(std::chrono::milliseconds(200)); // time for an unguarded answer
    });
    if (operation == 0)
        redir.DelBRDataInfoById(5);
    else if (operation == 1)
        redir.DelAllBRData();
    else
        redir.onMemoryLessLimit();
    QVERIFY(emptyAfter.valid());
    QVERIFY(emptyAfter.get());
}

void TestRegistry::clip_data()
{
    QTest::addColumn<QByteArray>("position"); // the server's command 22 for the player
    QTest::addColumn<bool>("visible");
    QTest::addColumn<QByteArray>("before"); // an earlier clip, if any
    QTest::addColumn<QByteArray>("rects");
    QTest::addColumn<QRegion>("mask");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("log");

    const QByteArray player(
        R"({"commandId":22,"id":3,"left":100,"top":50,"width":400,"height":300})");
    const QByteArray left(R"({"left":100,"top":50,"width":200,"height":300})");
    const QByteArray right(R"({"left":300,"top":50,"width":200,"height":300})");
    const QByteArray whole(R"({"left":90,"top":40,"width":500,"height":400})");
    const QByteArray outside(R"({"left":600,"top":400,"width":50,"height":50})");
    const auto array
        = [](const QByteArrayList& items) -> QByteArray { return '[' + items.join(',') + ']'; };
    const QStringList shown = list({ "h5SetPlayerVisibility(3,true)" });
    const QStringList hidden = list({ "h5SetPlayerVisibility(3,false)" });
    const char* hide = "D H5 ClipWindow set to hide window";
    const char* ignore = "D H5 ClipWindow ignore rect";
    const char* finalRight = "D H5 ClipWindow final videoRgn: QRegion(200,0 200x300)";
    const char* finalFull = "D H5 ClipWindow final videoRgn: QRegion(0,0 400x300)";
    const QByteArray none;

    QTest::newRow("right half") << player << true << none << array({ left })
                                << QRegion(200, 0, 200, 300) << shown << list({ finalRight });
    QTest::newRow("two halves") << player << true << none << array({ left, right }) << untouched
                                << hidden << list({ hide, finalRight });
    QTest::newRow("outside") << player << true << none << array({ outside })
                             << QRegion(0, 0, 400, 300) << shown << list({ ignore, finalFull });
    QTest::newRow("hide first, rest unread")
        << player << true << none << array({ whole, outside, left }) << untouched << hidden
        << list({ hide, finalFull });
    QTest::newRow("hole")
        << player << true << none << array({ R"({"left":200,"top":100,"width":100,"height":100})" })
        << QRegion(0, 0, 400, 300).subtracted(QRegion(100, 50, 100, 100)) << shown
        << list({ "D H5 ClipWindow final videoRgn: QRegion(size=4, bounds=(0,0 400x300) - "
                  "[(0,0 400x50), (0,50 100x100), (200,50 200x100), (0,150 400x150)])" });
    QTest::newRow("not visible") << player << false << none << array({ left })
                                 << QRegion(200, 0, 200, 300) << QStringList()
                                 << list({ finalRight });
    QTest::newRow("fewer rects uncover") << player << true << array({ left }) << QByteArray("[]")
                                         << QRegion(0, 0, 400, 300) << shown << list({ finalFull });
    QTest::newRow("shown after hide") << player << true << array({ whole }) << array({ left })
                                      << QRegion(200, 0, 200, 300) << shown << list({ finalRight });
    // Edges at the ends of the int range must not overflow on their way into window coordinates.
    QTest::newRow("int limits")
        << player << true << none
        << array({ R"({"left":300,"top":-2147483648})",
               R"({"left":-2147483648,"top":-2147483648,"width":2147483647,"height":5})" })
        << QRegion(0, 0, 400, 300) << shown << list({ ignore, ignore, finalFull });
    QTest::newRow("largest rect")
        << player << true << none
        << array({ R"({"left":0,"top":0,"width":2147483647,"height":2147483647})" }) << untouched
        << hidden << list({ hide, finalFull });
    // No position yet: w and h are 0, nothing is shown.
    QTest::newRow("no size") << QByteArray(R"({"commandId":8,"id":3,"data":true})") << true << none
                             << array({ left, whole }) << QRegion() << shown
                             << list({ ignore, ignore,
                                    "D H5 ClipWindow final videoRgn: QRegion(null)" });
}

void TestRegistry::clip()
{
    QFETCH(QByteArray, position);
    QFETCH(bool, visible);
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, rects);
    QFETCH(QRegion, mask);
    QFETCH(QStringList, events);
    QFETCH(QStringList, log);

    H5redir redir;
    QQuickWindow zorv;
    QQuickWindow player;
    redir.SetZorvWindow(&zorv);
    feed(redir, create(3));
    redir.SaveWindowInBRData(3, &player);
    feed(redir, position);
    redir.SaveVisibleInBRData(3, visible);
    player.setMask(untouched);
    if (!before.isNull())
        feed(redir, R"({"commandId":24,"id":3,"data":)" + before + '}');
    Recorder recorder(&redir);
    LogCapture capture;

    redir.ClipWindow(3, QJsonDocument::fromJson(rects).array());
    QCOMPARE(player.mask(), mask);
    QCOMPARE(recorder.events, events);
    QCOMPARE(h5Lines(capture), log);
    // Hiding is the host's to carry out; the server's visibility stays as it was.
    QCOMPARE(redir.IsVisibleTab(3), visible);
}

void TestRegistry::clipRejected()
{
    H5redir redir;
    QQuickWindow zorv;
    QQuickWindow player;
    player.setMask(untouched);
    feed(redir, create(3));
    redir.SavePosInBRData(3, 0, 0, 400, 300);
    redir.SaveVisibleInBRData(3, true);
    Recorder recorder(&redir);
    LogCapture log;
    redir.ClipWindow(3, QJsonArray()); // no main window
    redir.SetZorvWindow(&zorv);
    redir.ClipWindow(3, QJsonArray()); // no player window yet
    redir.SaveWindowInBRData(3, &player);
    redir.ClipWindow(-1, QJsonArray());
    redir.ClipWindow(4, QJsonArray()); // no record
    QCOMPARE(h5Lines(log),
        list({ "C H5 ClipWindow invalid data", "C H5 ClipWindow get br data fail",
            "C H5 ClipWindow invalid data", "C H5 ClipWindow get br data fail" }));
    QCOMPARE(recorder.events, QStringList());
    QCOMPARE(player.mask(), untouched);
}

QTEST_MAIN(TestRegistry)

#include "tst_registry.moc"
