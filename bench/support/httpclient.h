#ifndef HTTPCLIENT_H
#define HTTPCLIENT_H

#include <QByteArray>
#include <QList>
#include <QtGlobal>

/*!
 * Plain blocking HTTP downloads on 127.0.0.1, one thread per stream, each body checked by its
 * SHA-256. Plain sockets and OpenSSL's digest, so the client costs the same on every path.
 */
namespace HttpClient {

struct Download
{
    QByteArray path; // "/bytes/N" on the origin server
    QByteArray sha256; // of the expected body, raw
    qint64 size = 0;
};

/*!
 * Runs `streams` downloads of `download` at once through `port`: an HTTP proxy when `viaProxy`
 * (the request names the origin at `originPort`), else the origin itself. Returns the seconds
 * from the first connect to the last byte, or a negative value if any stream failed.
 */
double run(quint16 port, bool viaProxy, quint16 originPort, const Download& download, int streams);

// SHA-256 of the first `size` bytes of `data`.
QByteArray sha256(const char* data, qint64 size);

} // namespace HttpClient

#endif // HTTPCLIENT_H
