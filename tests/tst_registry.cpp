// The player registry and the clipping of player windows: lookups, stores and removals in
// creation order, and the masks that clip commands leave on real windows.
#include <h5redir/h5redir.h>
#include "logcapture.h"
#include "redirtesting.h"
#include "standins.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QQuickWindow>
#include <QRegion>
#include <QTest>

#include <chrono>
#include <future>

using namespace H5Test;

namespace {

QByteArray create(int tabid)
{
    return QByteArray(R"({"commandId":2,"data":"u","id":)") + QByteArray::number(tabid) + '}';
}

// A mask no clip command produces, to tell "left as it was" from "set".
const QRegion untouched(1, 1, 1, 1);

} // namespace

class TestRegistry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void absentTab();
    void recordLifeCycle();
    void removals_data();
    void removals();
    void destroyedUnderLock_data();
    void destroyedUnderLock();
    void createReplacesOlderRecord_data();
    void createReplacesOlderRecord();
    void clip_data();
    void clip();
    void clipRejected_data();
    void clipRejected();

private:
    // Create requests run "free -m": the stand-in answers.
    StandIns m_standIns;
};

void TestRegistry::init() { m_standIns.setAvailable(1000); }

void TestRegistry::absentTab()
{
    H5redir redir;
    QQuickWindow window;
    feed(redir, create(4));
    Recorder recorder(&redir);
    LogCapture log;

    redir.SaveVisibleInBRData(5, true);
    redir.SaveWindowInBRData(5, &window);
    redir.SavePosInBRData(5, 1, 2, 3, 4);
    redir.DelBRDataInfoById(5);
    QCOMPARE(redir.GetBRWindowById(5), nullptr);
    QVERIFY(!redir.IsVisibleTab(5));
    int x = 11, y = 12, w = 13, h = 14;
    QCOMPARE(redir.GetBRDataInClip(5, x, y, w, h), nullptr);
    QCOMPARE(QList<int>({ x, y, w, h }), QList<int>({ 11, 12, 13, 14 }));

    // Stores for tab 5 went nowhere, in particular not into the record of tab 4.
    QCOMPARE(redir.GetBRDataInClip(4, x, y, w, h), nullptr);
    QCOMPARE(QList<int>({ x, y, w, h }), QList<int>({ 0, 0, 0, 0 }));
    QVERIFY(!redir.IsVisibleTab(4));
    QVERIFY(!redir.IsNoBRData());
    QCOMPARE(recorder.events, QStringList());
    QCOMPARE(h5Lines(log), QStringList());
}

void TestRegistry::recordLifeCycle()
{
    H5redir redir;
    QQuickWindow window;
    QVERIFY(redir.IsNoBRData());
    feed(redir, create(0));
    feed(redir, create(-2));
    LogCapture log;

    // Each field changes through its own store only, and for its own tab only.
    QCOMPARE(redir.GetBRWindowById(0), nullptr);
    QVERIFY(!redir.IsVisibleTab(0));
    redir.SaveVisibleInBRData(0, true);
    QVERIFY(redir.IsVisibleTab(0));
    QVERIFY(!redir.IsVisibleTab(-2));
    redir.SaveWindowInBRData(0, &window);
    QCOMPARE(redir.GetBRWindowById(0), &window);
    QCOMPARE(redir.GetBRWindowById(-2), nullptr);
    redir.SavePosInBRData(0, -10, 20, 300, 200);
    int x = 0, y = 0, w = 0, h = 0;
    QCOMPARE(redir.GetBRDataInClip(0, x, y, w, h), &window);
    QCOMPARE(QList<int>({ x, y, w, h }), QList<int>({ -10, 20, 300, 200 }));
    redir.SaveVisibleInBRData(0, false);
    QVERIFY(!redir.IsVisibleTab(0));
    // A null window is stored like any other.
    redir.SaveWindowInBRData(0, nullptr);
    QCOMPARE(redir.GetBRWindowById(0), nullptr);
    QCOMPARE(h5Lines(log), QStringList());
}

void TestRegistry::removals_data()
{
    QTest::addColumn<QList<int>>("tabs");
    QTest::addColumn<int>("removed"); // -1: DelAllBRData()
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<bool>("empty");

    QTest::newRow("all of three in creation order")
        << QList<int> { 5, 3, 9 } << -1
        << list({ "h5DestroyPlayer(5)", "h5DestroyPlayer(3)", "h5DestroyPlayer(9)" })
        << QStringList() << true;
    QTest::newRow("all of none") << QList<int>() << -1 << QStringList()
                                 << list({ "D H5 DelAllBRData m_listBRData is null" }) << true;
    QTest::newRow("the only one") << QList<int> { 3 } << 3 << list({ "h5DestroyPlayer(3)" })
                                  << list({ "D H5 DelBRDataInfoById Del the br info ,tabid : 3" })
                                  << true;
    QTest::newRow("the middle one")
        << QList<int> { 5, 3, 9 } << 3 << list({ "h5DestroyPlayer(3)" })
        << list({ "D H5 DelBRDataInfoById Del the br info ,tabid : 3" }) << false;
    QTest::newRow("one never created")
        << QList<int> { 5 } << 3 << QStringList() << QStringList() << false;
}

void TestRegistry::removals()
{
    QFETCH(QList<int>, tabs);
    QFETCH(int, removed);
    QFETCH(QStringList, events);
    QFETCH(QStringList, log);
    QFETCH(bool, empty);

    H5redir redir;
    for (int tabid : tabs)
        feed(redir, create(tabid));
    Recorder recorder(&redir);
    LogCapture capture;

    if (removed == -1)
        redir.DelAllBRData();
    else
        redir.DelBRDataInfoById(removed);
    QCOMPARE(recorder.events, events);
    QCOMPARE(h5Lines(capture), log);
    QCOMPARE(redir.IsNoBRData(), empty);

    // What is left keeps its order.
    recorder.events.clear();
    redir.DelAllBRData();
    QStringList left;
    for (int tabid : tabs) {
        if (tabid != removed && removed != -1)
            left.append(QStringLiteral("h5DestroyPlayer(%1)").arg(tabid));
    }
    QCOMPARE(recorder.events, left);
}

void TestRegistry::destroyedUnderLock_data()
{
    QTest::addColumn<QByteArray>("operation");

    QTest::newRow("DelBRDataInfoById") << QByteArray("DelBRDataInfoById");
    QTest::newRow("DelAllBRData") << QByteArray("DelAllBRData");
    QTest::newRow("low-memory stop") << QByteArray("onMemoryLessLimit");
}

void TestRegistry::destroyedUnderLock()
{
    QFETCH(QByteArray, operation);

    H5redir redir;
    feed(redir, create(5));
    // A registry read from another thread, started while the host learns of the removal, gets
    // its answer only once the removal is complete.
    std::future<bool> emptyAfter;
    QObject::connect(&redir, &H5redir::h5DestroyPlayer, [&redir, &emptyAfter] {
        emptyAfter = std::async(std::launch::async, [&redir] { return redir.IsNoBRData(); });
        // Time for an unguarded registry to answer while the record still exists.
        emptyAfter.wait_for(std::chrono::milliseconds(200));
    });
    if (operation == "DelBRDataInfoById")
        redir.DelBRDataInfoById(5);
    else if (operation == "DelAllBRData")
        redir.DelAllBRData();
    else
        redir.onMemoryLessLimit();
    QVERIFY(emptyAfter.valid());
    QVERIFY(emptyAfter.get());
}

void TestRegistry::createReplacesOlderRecord_data()
{
    QTest::addColumn<qint64>("available");
    QTest::addColumn<QStringList>("order");

    QTest::newRow("admitted: fresh record at the end")
        << qint64(400) << list({ "h5DestroyPlayer(8)", "h5DestroyPlayer(7)" });
    QTest::newRow("refused: no record") << qint64(399) << list({ "h5DestroyPlayer(8)" });
}

void TestRegistry::createReplacesOlderRecord()
{
    QFETCH(qint64, available);
    QFETCH(QStringList, order);

    H5redir redir;
    QQuickWindow window;
    feed(redir, create(7));
    feed(redir, create(8));
    redir.SaveWindowInBRData(7, &window);
    redir.SavePosInBRData(7, 1, 2, 3, 4);
    redir.SaveVisibleInBRData(7, true);
    Recorder recorder(&redir);
    m_standIns.setAvailable(available);

    feed(redir, create(7));
    QCOMPARE(recorder.events.value(0), QStringLiteral("h5DestroyPlayer(7)"));
    // Nothing of the old record survives into the new one.
    QCOMPARE(redir.GetBRWindowById(7), nullptr);
    QVERIFY(!redir.IsVisibleTab(7));
    int x = -1, y = -1, w = -1, h = -1;
    redir.GetBRDataInClip(7, x, y, w, h);
    QCOMPARE(QList<int>({ x, y, w, h }),
        order.size() == 2 ? QList<int>({ 0, 0, 0, 0 }) : QList<int>({ -1, -1, -1, -1 }));

    recorder.events.clear();
    redir.DelAllBRData();
    QCOMPARE(recorder.events, order);
}

void TestRegistry::clip_data()
{
    QTest::addColumn<QRect>("position"); // the player as the server placed it
    QTest::addColumn<bool>("visible");
    QTest::addColumn<QByteArray>("before"); // an earlier clip command, if any
    QTest::addColumn<QByteArray>("rects");
    QTest::addColumn<QRegion>("mask");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("log");

    const QRect player(100, 50, 400, 300);
    const QByteArray leftHalf(R"({"left":100,"top":50,"width":200,"height":300})");
    const QByteArray rightHalf(R"({"left":300,"top":50,"width":200,"height":300})");
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

    QTest::newRow("right half") << player << true << QByteArray() << array({ leftHalf })
                                << QRegion(200, 0, 200, 300) << shown << list({ finalRight });
    QTest::newRow("covered whole: hide")
        << player << true << QByteArray() << array({ whole }) << untouched << hidden
        << list({ hide, "D H5 ClipWindow final videoRgn: QRegion(0,0 400x300)" });
    QTest::newRow("two halves: hide")
        << player << true << QByteArray() << array({ leftHalf, rightHalf }) << untouched << hidden
        << list({ hide, finalRight });
    QTest::newRow("outside the player")
        << player << true << QByteArray() << array({ outside }) << QRegion(0, 0, 400, 300) << shown
        << list({ ignore, finalFull });
    QTest::newRow("empty array") << player << true << QByteArray() << QByteArray("[]")
                                 << QRegion(0, 0, 400, 300) << shown << list({ finalFull });
    QTest::newRow("hide first, the rest not read")
        << player << true << QByteArray() << array({ whole, outside, leftHalf }) << untouched
        << hidden << list({ hide, finalFull });
    QTest::newRow("hole in the middle")
        << player << true << QByteArray()
        << array({ R"({"left":200,"top":100,"width":100,"height":100})" })
        << QRegion(0, 0, 400, 300).subtracted(QRegion(100, 50, 100, 100)) << shown
        << list({ "D H5 ClipWindow final videoRgn: QRegion(size=4, bounds=(0,0 400x300) - "
                  "[(0,0 400x50), (0,50 100x100), (200,50 200x100), (0,150 400x150)])" });
    QTest::newRow("not visible: mask set, no signal")
        << player << false << QByteArray() << array({ leftHalf }) << QRegion(200, 0, 200, 300)
        << QStringList() << list({ finalRight });
    QTest::newRow("not visible, hide: no signal")
        << player << false << QByteArray() << array({ whole }) << untouched << QStringList()
        << list({ hide, finalFull });
    QTest::newRow("no position yet: empty mask")
        << QRect() << true << QByteArray() << array({ leftHalf, whole }) << QRegion() << shown
        << list({ ignore, ignore, "D H5 ClipWindow final videoRgn: QRegion(null)" });
    QTest::newRow("fewer rects uncover")
        << player << true << array({ leftHalf }) << QByteArray("[]") << QRegion(0, 0, 400, 300)
        << shown << list({ finalFull });
    QTest::newRow("shown again after hide")
        << player << true << array({ whole }) << array({ leftHalf }) << QRegion(200, 0, 200, 300)
        << shown << list({ finalRight });
    // Edges at the ends of the int range must not overflow on their way into window coordinates.
    QTest::newRow("edges at the int limits")
        << player << true << QByteArray()
        << array({ R"({"left":300,"top":-2147483648})",
               R"({"left":-2147483648,"top":-2147483648,"width":2147483647,"height":5})" })
        << QRegion(0, 0, 400, 300) << shown << list({ ignore, ignore, finalFull });
    QTest::newRow("largest rect covers all")
        << player << true << QByteArray()
        << array({ R"({"left":0,"top":0,"width":2147483647,"height":2147483647})" }) << untouched
        << hidden << list({ hide, finalFull });
    // Members that are missing or no whole numbers count as 0: left 0 lies 100 left of the player.
    QTest::newRow("lenient members")
        << player << true << QByteArray()
        << array({ R"({"left":"100","top":50,"width":250,"height":300})", "5",
               R"({"left":100,"top":50,"width":2.5})" })
        << QRegion(150, 0, 250, 300) << shown
        << list({ ignore, ignore, "D H5 ClipWindow final videoRgn: QRegion(150,0 250x300)" });
}

void TestRegistry::clip()
{
    QFETCH(QRect, position);
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
    if (position.isValid())
        redir.SavePosInBRData(3, position.x(), position.y(), position.width(), position.height());
    redir.SaveVisibleInBRData(3, visible);
    player.setMask(untouched);
    if (!before.isNull())
        redir.ClipWindow(3, QJsonDocument::fromJson(before).array());
    Recorder recorder(&redir);
    LogCapture capture;

    const QJsonDocument document = QJsonDocument::fromJson(rects);
    QVERIFY(document.isArray());
    redir.ClipWindow(3, document.array());
    QCOMPARE(player.mask(), mask);
    QCOMPARE(recorder.events, events);
    QCOMPARE(h5Lines(capture), log);
    // The hide decision is the host's to carry out; the server's visibility stays as it was.
    QCOMPARE(redir.IsVisibleTab(3), visible);
}

void TestRegistry::clipRejected_data()
{
    QTest::addColumn<bool>("mainWindow");
    QTest::addColumn<int>("tabid");
    QTest::addColumn<bool>("playerWindow");
    QTest::addColumn<QString>("critical");

    const QString invalid = QStringLiteral("C H5 ClipWindow invalid data");
    const QString fail = QStringLiteral("C H5 ClipWindow get br data fail");
    QTest::newRow("tab -1") << true << -1 << true << invalid;
    QTest::newRow("no main window") << false << 3 << true << invalid;
    QTest::newRow("no record") << true << 4 << true << fail;
    QTest::newRow("no player window yet") << true << 3 << false << fail;
}

void TestRegistry::clipRejected()
{
    QFETCH(bool, mainWindow);
    QFETCH(int, tabid);
    QFETCH(bool, playerWindow);
    QFETCH(QString, critical);

    H5redir redir;
    QQuickWindow zorv;
    QQuickWindow player;
    player.setMask(untouched);
    if (mainWindow)
        redir.SetZorvWindow(&zorv);
    feed(redir, create(3));
    if (playerWindow)
        redir.SaveWindowInBRData(3, &player);
    redir.SavePosInBRData(3, 0, 0, 400, 300);
    redir.SaveVisibleInBRData(3, true);
    Recorder recorder(&redir);
    LogCapture log;

    redir.ClipWindow(tabid, QJsonDocument::fromJson("[]").array());
    QCOMPARE(h5Lines(log), QStringList { critical });
    QCOMPARE(recorder.events, QStringList());
    QCOMPARE(player.mask(), untouched);
}

QTEST_MAIN(TestRegistry)

#include "tst_registry.moc"
