#include "scancodes.h"

namespace {

// Input codes 1 to 88 are the scan codes themselves, but for 84 and 85, which have none; these
// keys have numbers of their own.
constexpr struct
{
    quint32 scanCode;
    quint32 inputCode;
} extendedKeys[] = {
    { 0xe01c, 96 }, // keypad Enter
    { 0xe01d, 97 }, // right Ctrl
    { 0xe020, 113 }, // Mute
    { 0xe02e, 114 }, // Volume Down
    { 0xe030, 115 }, // Volume Up
    { 0xe035, 98 }, // keypad /
    { 0xe037, 99 }, // Print Screen
    { 0xe038, 100 }, // right Alt (AltGr)
    { 0xe047, 102 }, // Home
    { 0xe048, 103 }, // Up
    { 0xe049, 104 }, // Page Up
    { 0xe04b, 105 }, // Left
    { 0xe04d, 106 }, // Right
    { 0xe04f, 107 }, // End
    { 0xe050, 108 }, // Down
    { 0xe051, 109 }, // Page Down
    { 0xe052, 110 }, // Insert
    { 0xe053, 111 }, // Delete
    { 0xe05b, 125 }, // left Super
    { 0xe05c, 126 }, // right Super
    { 0xe05d, 127 }, // Menu
    { 0xe11d, 119 }, // Pause
};

constexpr quint32 keycodeOffset = 8;

bool isPlain(quint32 code) { return (code >= 1 && code <= 83) || (code >= 86 && code <= 88); }

} // namespace

namespace ScanCodes {

quint32 fromKeycode(quint32 keycode)
{
    if (keycode <= keycodeOffset)
        return 0;
    const quint32 inputCode = keycode - keycodeOffset;
    if (isPlain(inputCode))
        return inputCode;
    for (const auto& key : extendedKeys) {
        if (key.inputCode == inputCode)
            return key.scanCode;
    }
    return 0;
}

quint32 toKeycode(quint32 scanCode)
{
    if (isPlain(scanCode))
        return scanCode + keycodeOffset;
    for (const auto& key : extendedKeys) {
        if (key.scanCode == scanCode)
            return key.inputCode + keycodeOffset;
    }
    return 0;
}

} // namespace ScanCodes
