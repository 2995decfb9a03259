// A plain echo server on 127.0.0.1 for the relay and direct runs of the tunnel benchmark: one
// thread per connection, blocking reads and writes through a 1 MiB buffer, so that the direct
// path is the loopback ceiling and not held back by the server. Prints its port, then serves
// until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr size_t bufferSize = 1024 * 1024;

void serve(int fd)
{
    std::vector<char> buffer(bufferSize);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0)
            break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(fd, buffer.data() + done, size_t(n - done));
            if (w <= 0) {
                ::close(fd);
                return;
            }
            done += w;
        }
    }
    ::close(fd);
}

} // namespace

int main()
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0
        || ::listen(listener, 1024) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("h5bench-echo");
        return 1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd >= 0)
            std::thread(serve, fd).detach();
    }
}
