#ifndef SCANCODES_H
#define SCANCODES_H

#include <QtGlobal>

/*!
 * PC keyboard scan codes (set 1), as SPICE's keyboard carries them, and the X key codes of an
 * evdev keymap (Linux input code + 8), as Xvfb and Qt's nativeScanCode() number keys. The client
 * turns its keys into scan codes with fromKeycode(), the server presses them with toKeycode(); one
 * table serves both ways. A scan code behind the E0 prefix is 0xe000 | code, Pause is 0xe11d.
 */
namespace ScanCodes {

// 0 for a key that has no scan code.
quint32 fromKeycode(quint32 keycode);
// 0 where there is nothing to press, such as the fake shifts E0 2A and E0 36 around Print.
quint32 toKeycode(quint32 scanCode);

} // namespace ScanCodes

#endif // SCANCODES_H
