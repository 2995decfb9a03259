#include "loopclient.h"

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int readBufferSize = 64 * 1024;
constexpr int patternPeriod = 251; // prime, so block boundaries never line up with it
constexpr int stallSeconds = 30;

// Byte i of every stream is patternByte(i); the pattern buffer covers any block at any offset.
const std::vector<char>& pattern()
{
    static const std::vector<char> bytes = [] {
        std::vector<char> b(readBufferSize + patternPeriod);
        for (size_t i = 0; i < b.size(); ++i)
            b[i] = char(i % patternPeriod);
        return b;
    }();
    return bytes;
}

bool writeStream(int fd, qint64 bytes, int blockSize)
{
    const char* source = pattern().data();
    for (qint64 sent = 0; sent < bytes;) {
        const qint64 block = qMin<qint64>(blockSize, bytes - sent);
        const char* from = source + sent % patternPeriod;
        for (qint64 done = 0; done < block;) {
            const ssize_t n = ::write(fd, from + done, size_t(block - done));
            if (n <= 0)
                return false;
            done += n;
        }
        sent += block;
    }
    return true;
}

bool readStream(int fd, qint64 bytes)
{
    std::vector<char> buffer(readBufferSize);
    for (qint64 received = 0; received < bytes;) {
        const ssize_t n
            = ::read(fd, buffer.data(), size_t(qMin<qint64>(readBufferSize, bytes - received)));
        if (n <= 0)
            return false;
        if (std::memcmp(buffer.data(), pattern().data() + received % patternPeriod, size_t(n)) != 0)
            return false;
        received += n;
    }
    return true;
}

} // namespace

namespace LoopClient {

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    timeval timeout { stallSeconds, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

QList<StreamResult> roundTrips(quint16 port, int streams, qint64 bytes, int blockSize)
{
    std::vector<int> sockets;
    for (int i = 0; i < streams; ++i)
        sockets.push_back(connectTo(port));

    QList<StreamResult> results;
    for (int i = 0; i < streams; ++i)
        results.append(StreamResult());
    std::atomic<bool> go { false };
    QElapsedTimer clock;
    std::vector<std::thread> threads;
    for (int i = 0; i < streams; ++i) {
        const int fd = sockets[size_t(i)];
        if (fd < 0)
            continue;
        threads.emplace_back([&go, fd, bytes, blockSize] {
            while (!go)
                std::this_thread::yield();
            if (!writeStream(fd, bytes, blockSize))
                ::shutdown(fd, SHUT_RDWR);
        });
        StreamResult* result = &results[i];
        threads.emplace_back([&go, &clock, result, fd, bytes] {
            while (!go)
                std::this_thread::yield();
            result->ok = readStream(fd, bytes);
            result->seconds = clock.nsecsElapsed() / 1e9;
        });
    }
    clock.start();
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    closeAll(QList<int>(sockets.begin(), sockets.end()));
    return results;
}

StreamResult roundTrip(quint16 port, qint64 bytes, int blockSize)
{
    return roundTrips(port, 1, bytes, blockSize).constFirst();
}

QList<int> openIdle(quint16 port, int count)
{
    QList<int> sockets;
    for (int i = 0; i < count; ++i)
        sockets.append(connectTo(port));
    return sockets;
}

void closeAll(const QList<int>& sockets)
{
    for (int fd : sockets) {
        if (fd >= 0)
            ::close(fd);
    }
}

} // namespace LoopClient
