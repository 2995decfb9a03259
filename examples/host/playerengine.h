#ifndef PLAYERENGINE_H
#define PLAYERENGINE_H

#include <QString>
#include <QUrl>

class UrlGuard;

/*!
 * The players the reference host can show: real pages in Qt WebEngine, or a test pattern for
 * machines where the engine cannot run.
 */
namespace PlayerEngine {

enum Kind { WebEngine, Pattern };

// Reads a --player value; false for an unknown one.
bool parseKind(const QString& name, Kind& kind);

// Before the application object exists: Qt WebEngine shares one GL context with the windows.
void prepare(Kind kind);

// Whether players of this kind can run in this process; why not, when they cannot.
bool available(Kind kind, QString& why);

// The QML of one player window.
QUrl source(Kind kind);

// With the application object, before the first player: players of this kind open only what
// guard allows, be it a navigation, a redirect, a new window or a request of their page, and
// keep nothing on disk. Their QML asks the guard as PlayerGuard (import H5Host.Guard 1.0), so
// without this call it does not load, and every player is refused.
void confine(Kind kind, const UrlGuard& guard);

} // namespace PlayerEngine

#endif // PLAYERENGINE_H
