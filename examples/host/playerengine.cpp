#include "playerengine.h"
#include "urlguard.h"

#include <QGuiApplication>
#include <QOpenGLContext>
#include <QQmlComponent>
#include <QQmlEngine>

#ifdef H5HOST_WEBENGINE
#include <QQuickWebEngineProfile>
#include <QWebEngineUrlRequestInterceptor>
#include <QtWebEngine>

#include <cstdio>

namespace {

/*!
 * The players' end of the URL guard, one for them all. As the QML singleton PlayerGuard it answers
 * a player about the navigations, redirects and new windows of its page; as the request
 * interceptor of the players' profile it sees the requests the pages make. It logs each refusal;
 * refusing is the asker's part.
 */
class PlayerGuard : public QWebEngineUrlRequestInterceptor
{
    Q_OBJECT

public:
    PlayerGuard(const UrlGuard& guard, QObject* parent)
        : QWebEngineUrlRequestInterceptor(parent)
        , m_guard(guard)
    {
    }

    // what: the player's wish in a word or two ("navigation", "new window"), for the log line.
    Q_INVOKABLE bool admits(const QUrl& url, const QString& what) const
    {
        const QString reason = m_guard.check(url);
        if (reason.isEmpty())
            return true;
        std::printf("host: refused a player's %s to %s: %s\n", qUtf8Printable(what),
            qUtf8Printable(url.toString()), qUtf8Printable(reason));
        std::fflush(stdout);
        return false;
    }

    // Runs on the UI thread: an interceptor set with setUrlRequestInterceptor, unlike one set with
    // the older setRequestInterceptor, is not called on the engine's IO thread. Qt WebEngine 5.15
    // passes it the requests of pages and their workers, but not those of web sockets
    // (QTBUG-92932); data and blob URLs, which are no requests, never get here.
    void interceptRequest(QWebEngineUrlRequestInfo& info) override
    {
        if (!admits(info.requestUrl(), QStringLiteral("request")))
            info.block(true);
    }

private:
    const UrlGuard m_guard;
};

} // namespace
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

void confine(Kind kind, const UrlGuard& guard)
{
#ifdef H5HOST_WEBENGINE
    if (kind != WebEngine)
        return;
    // The players share the default profile. Off the record, their cookies, cache and storage
    // live in memory and end with the host.
    QQuickWebEngineProfile* profile = QQuickWebEngineProfile::defaultProfile();
    profile->setOffTheRecord(true);
    auto* playerGuard = new PlayerGuard(guard, profile);
    profile->setUrlRequestInterceptor(playerGuard);
    // A module of its own: without it, the player's QML does not load.
    qmlRegisterSingletonType<PlayerGuard>("H5Host.Guard", 1, 0, "PlayerGuard",
        [playerGuard](QQmlEngine* engine, QJSEngine*) -> QObject* {
            // Each player window has an engine of its own; all of them share the profile's
            // guard, and none may delete it with itself.
            engine->setObjectOwnership(playerGuard, QQmlEngine::CppOwnership);
            return playerGuard;
        });
#else
    Q_UNUSED(kind)
    Q_UNUSED(guard)
#endif
}

} // namespace PlayerEngine

#ifdef H5HOST_WEBENGINE
#include "playerengine.moc"
#endif
