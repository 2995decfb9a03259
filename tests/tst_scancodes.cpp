// The host's keys as the agent presses them: an X key code (evdev + 8, as Qt's nativeScanCode()
// gives it) becomes a PC set-1 scan code for spice-client-glib (0x100 for the E0 prefix), which
// reaches the agent's keyboard as bytes and becomes the same X key code on its display.
#include "scancodes.h"
#include "spiceinputs.h"

#include <QTest>

class TestScanCodes : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void scanCode_data();
    void scanCode();
};

void TestScanCodes::scanCode_data()
{
    QTest::addColumn<quint32>("keycode");
    QTest::addColumn<quint32>("scanCode");

    QTest::newRow("Escape, the first") << 9u << 0x01u;
    QTest::newRow("a") << 38u << 0x1eu;
    QTest::newRow("keypad .") << 91u << 0x53u;
    QTest::newRow("F11 after the gap") << 95u << 0x57u;
    QTest::newRow("F12") << 96u << 0x58u;
    QTest::newRow("keypad Enter") << 104u << 0x11cu;
    QTest::newRow("right Ctrl") << 105u << 0x11du;
    QTest::newRow("right Alt") << 108u << 0x138u;
    QTest::newRow("Home") << 110u << 0x147u;
    QTest::newRow("Up") << 111u << 0x148u;
    QTest::newRow("Left") << 113u << 0x14bu;
    QTest::newRow("Delete") << 119u << 0x153u;
    QTest::newRow("left Super") << 133u << 0x15bu;
    QTest::newRow("Menu") << 135u << 0x15du;
    QTest::newRow("Mute") << 121u << 0x120u;
    // Pause has the E1 prefix, which the client's keyboard calls cannot send.
    QTest::newRow("Pause") << 127u << 0u;
    // Keys no PC keyboard has, and codes below the first key, are not sent at all.
    QTest::newRow("in the gap") << 92u << 0u;
    QTest::newRow("below the first") << 8u << 0u;
    QTest::newRow("beyond the table") << 200u << 0u;
}

void TestScanCodes::scanCode()
{
    QFETCH(quint32, keycode);
    QFETCH(quint32, scanCode);
    QCOMPARE(SpiceInputs::scanCode(keycode), scanCode);
    if (scanCode) // on the wire an E0 byte, then the code's
        QCOMPARE(
            ScanCodes::toKeycode(scanCode > 0xff ? 0xe000 | (scanCode & 0xff) : scanCode), keycode);
}

QTEST_GUILESS_MAIN(TestScanCodes)

#include "tst_scancodes.moc"
