#include "playerengine.h"

#include <QGuiApplication>
#include <QOpenGLContext>
#include <QQmlComponent>
#include <QQmlEngine>

#ifdef H5HOST_WEBENGINE
#include <QtWebEngine>
#endif

namespace PlayerEngine {

bool parseKind(const QString& name, Kind& kind)
{
    if (name == QLatin1String("webengine"))
        kind = WebEngine;
    else if (name == QLatin1String("pattern"))
        kind = Pattern;
    else
        return false;
    return true;
}

void prepare(Kind kind)
{
#ifdef H5HOST_WEBENGINE
    if (kind != WebEngine)
        return;
    // The library sets the volume of this process's own audio streams, so the engine plays its
    // sound here rather than in a helper process of its own.
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    flags += " --disable-features=AudioServiceOutOfProcess";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
    QtWebEngine::initialize();
#else
    Q_UNUSED(kind)
#endif
}

bool available(Kind kind, QString& why)
{
    if (kind == Pattern)
        return true;
#ifdef H5HOST_WEBENGINE
    // The engine draws through OpenGL, which the offscreen and minimal platforms do not offer.
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")
        || !QOpenGLContext::globalShareContext()) {
        why = QStringLiteral("no OpenGL on the %1 platform").arg(platform);
        return false;
    }
    // The QML module is a package of its own; the library alone does not bring it.
    QQmlEngine engine;
    QQmlComponent probe(&engine);
    probe.setData("import QtWebEngine 1.10\nimport QtQml 2.15\nQtObject {}\n", QUrl());
    if (probe.isError()) {
        why = probe.errorString().trimmed();
        return false;
    }
    return true;
#else
    why = QStringLiteral("built without Qt WebEngine");
    return false;
#endif
}

QUrl source(Kind kind)
{
    return QUrl(kind == WebEngine ? QStringLiteral("qrc:/WebPlayer.qml")
                                  : QStringLiteral("qrc:/Player.qml"));
}

} // namespace PlayerEngine
