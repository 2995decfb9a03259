#ifndef LOOPBACKSERVER_H
#define LOOPBACKSERVER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

// The serving loop of the benchmarks' plain servers: listens on 127.0.0.1 at a free port with a
// backlog of 1024 (a hundred clients starting at once are all accepted at once), prints the port,
// then serves every connection on a thread of its own with `serve(fd)` until killed. Returns only
// when it cannot listen.
template <typename Serve> int serveOnLoopback(const char* name, Serve serve)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0
        || ::listen(listener, 1024) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror(name);
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

#endif // LOOPBACKSERVER_H
