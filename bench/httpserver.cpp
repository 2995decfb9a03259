// A minimal HTTP/1.1 origin server for the download benchmark: "GET /bytes/N" answers with the
// first N bytes of the file given as argument (sendfile, so the server costs next to nothing),
// then closes. One thread per connection; the listen backlog takes 1024 waiting clients, so a
// hundred streams starting at once are all accepted at once. Prints its port, then serves until
// killed.
//
//   h5bench-httpd FILE
#include "loopbackserver.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace {

bool writeAll(int fd, const std::string& text)
{
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

void serve(int fd, int file, off_t fileSize)
{
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            ::close(fd);
            return;
        }
        request.append(buffer, size_t(n));
    }
    const std::string prefix = "GET /bytes/";
    long long length = -1;
    if (request.compare(0, prefix.size(), prefix) == 0)
        length = std::atoll(request.c_str() + prefix.size());
    if (length < 0 || length > fileSize) {
        writeAll(fd, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        ::close(fd);
        return;
    }
    if (writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                + std::to_string(length) + "\r\nConnection: close\r\n\r\n")) {
        off_t offset = 0;
        while (offset < length) {
            if (::sendfile(fd, file, &offset, size_t(length - offset)) <= 0)
                break;
        }
    }
    ::close(fd);
}

} // namespace

int main(int argc, char* argv[])
{
    struct stat status {};
    const int file = argc > 1 ? ::open(argv[1], O_RDONLY) : -1;
    if (file < 0 || ::fstat(file, &status) != 0) {
        std::fprintf(stderr, "h5bench-httpd: cannot read the file to serve\n");
        return 1;
    }
    const off_t size = status.st_size;
    return serveOnLoopback("h5bench-httpd", [file, size](int fd) { serve(fd, file, size); });
}
