// A plain echo server on 127.0.0.1 for the relay and direct runs of the tunnel benchmark: one
// thread per connection, blocking reads and writes through a 1 MiB buffer, so that the direct
// path is the loopback ceiling and not held back by the server. Prints its port, then serves
// until killed.
#include "loopbackserver.h"

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
    return serveOnLoopback("h5bench-echo", serve);
}
