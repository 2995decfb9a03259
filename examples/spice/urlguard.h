#ifndef URLGUARD_H
#define URLGUARD_H

#include <QRegularExpression>
#include <QStringList>
#include <QUrl>
#include <QVector>

class QHostAddress;

/*!
 * Decides whether a player may open a URL that the remote server, or a page it sent, asks for.
 *
 * Only http and https, and never on the client itself or its local networks: loopback names and
 * addresses, the unspecified address, this machine's names and interface addresses, link-local
 * and private ranges, each also as IPv4-mapped IPv6. Hosts are read as the engine reads them, so
 * 0x7f.1, 2130706433, 0177.0.0.1 and 127.0.0.1. are all 127.0.0.1. A URL that matches one of the
 * allowed patterns (globs on the whole URL without its user info, * for any run of characters)
 * is exempt from the host rules, never from the scheme rule.
 *
 * Other names are not resolved: a player that fetches through the tunnel's proxy has them
 * resolved on the server side, out of reach of the client's own services. A player that fetches
 * directly resolves them locally, and a name the server chose may then lead to 127.0.0.1.
 *
 * The guard only judges. Asking it about every navigation, redirect, pop-up and request of the
 * player, refusing what it refuses and logging why, is its caller's.
 */
class UrlGuard
{
public:
    explicit UrlGuard(const QStringList& allowedPatterns = {});

    // Empty when url may be opened, else why not, in words for a log line.
    QString check(const QUrl& url) const;
    // A URL as the server sends it: parsed strictly, so that what QUrl would repair is refused.
    QString check(const QString& url) const;

private:
    QString refusedName(const QString& name) const;
    static QString refusedAddress(const QHostAddress& address);
    bool allowed(QUrl url, const QString& host) const;

    QVector<QRegularExpression> m_allowed;
    QStringList m_ownNames;
};

#endif // URLGUARD_H
