#include "httpclient.h"

#include "loopclient.h"

#include <QElapsedTimer>

#include <openssl/evp.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr size_t readBufferSize = 256 * 1024;

using Digest = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

// One download on a connected socket: true when the status is 200 and the body has the size and
// digest expected.
bool download(int fd, const QByteArray& request, const HttpClient::Download& expected)
{
    if (::write(fd, request.constData(), size_t(request.size())) != request.size())
        return false;
    std::vector<char> buffer(readBufferSize);
    QByteArray head;
    Digest digest(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr);
    qint64 body = -1; // bytes of body so far; -1 while the head is still arriving
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0)
            return false;
        if (n == 0)
            break;
        const char* data = buffer.data();
        size_t size = size_t(n);
        if (body < 0) {
            head.append(data, int(size));
            const int end = head.indexOf("\r\n\r\n");
            if (end < 0)
                continue;
            if (!head.startsWith("HTTP/1.1 200") && !head.startsWith("HTTP/1.0 200"))
                return false;
            const int bodyStart = end + 4;
            data = buffer.data() + (size - size_t(head.size() - bodyStart));
            size = size_t(head.size() - bodyStart);
            body = 0;
        }
        EVP_DigestUpdate(digest.get(), data, size);
        body += qint64(size);
        if (body >= expected.size)
            break;
    }
    unsigned char result[EVP_MAX_MD_SIZE];
    unsigned int resultSize = 0;
    EVP_DigestFinal_ex(digest.get(), result, &resultSize);
    return body == expected.size
        && QByteArray(reinterpret_cast<const char*>(result), int(resultSize)) == expected.sha256;
}

} // namespace

namespace HttpClient {

double run(quint16 port, bool viaProxy, quint16 originPort, const Download& expected, int streams)
{
    const QByteArray origin = "127.0.0.1:" + QByteArray::number(originPort);
    const QByteArray target = viaProxy ? "http://" + origin + expected.path : expected.path;
    const QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: " + origin
        + "\r\nConnection: close\r\n\r\n";

    std::atomic<bool> go { false };
    std::atomic<int> failed { 0 };
    std::vector<std::thread> threads;
    for (int i = 0; i < streams; ++i) {
        threads.emplace_back([&] {
            while (!go)
                std::this_thread::yield();
            const int fd = LoopClient::connectTo(port);
            if (fd < 0 || !download(fd, request, expected))
                ++failed;
            if (fd >= 0)
                ::close(fd);
        });
    }
    QElapsedTimer clock;
    clock.start();
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    const double seconds = clock.nsecsElapsed() / 1e9;
    return failed ? -1 : seconds;
}

QByteArray sha256(const char* data, qint64 size)
{
    unsigned char result[EVP_MAX_MD_SIZE];
    unsigned int resultSize = 0;
    EVP_Digest(data, size_t(size), result, &resultSize, EVP_sha256(), nullptr);
    return QByteArray(reinterpret_cast<const char*>(result), int(resultSize));
}

} // namespace HttpClient
