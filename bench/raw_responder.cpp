// marvok-bench-echo: the least a Modbus/TCP server can do for the benchmarks'
// request. One thread, epoll, and for every 12-byte read of input registers
// 0-1 a fixed 13-byte reply with the request's transaction id; anything else
// closes the connection. It is the floor the client and the simulator are
// measured against, and the load generator's own limit.
//
//   marvok-bench-echo --listen ADDR [--port N] [--fpm X]
//
// Prints "listening on ADDR:PORT" when ready; stops on SIGINT or SIGTERM.
#include "frames.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

using marvok::bench::fpm_request;
using marvok::bench::fpm_reply;
using marvok::bench::request_size;

int usage(const char* message)
{
    std::fprintf(stderr, "marvok-bench-echo: %s\nusage: marvok-bench-echo --listen ADDR [--port N] [--fpm X]\n",
                 message);
    return 2;
}

struct Connection {
    std::size_t have = 0;
    std::uint8_t request[request_size];
};

}  // namespace

int main(int argc, char** argv)
{
    std::string address;
    int port = 502;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf("usage: marvok-bench-echo --listen ADDR [--port N] [--fpm X]\n"
                        "Answers each read of input registers 0-1 with a fixed reply carrying %s\n"
                        "(--fpm is accepted for symmetry with the other servers and must be that value).\n",
                        marvok::bench::fpm_text.c_str());
            return 0;
        }
        if (i + 1 >= argc)
            return usage("every option needs a value");
        const std::string_view value = argv[++i];
        if (arg == "--listen") {
            address = value;
        } else if (arg == "--port") {
            const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), port);
            if (value.empty() || ec != std::errc{} || ptr != value.data() + value.size() || port < 1 || port > 65535)
                return usage("--port needs 1..65535");
        } else if (arg == "--fpm") {
            if (value != marvok::bench::fpm_text)
                return usage("--fpm: this server only serves the benchmarks' value");
        } else {
            return usage("unknown option");
        }
    }
    if (address.empty())
        return usage("--listen ADDR is required");

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1)
        return usage("--listen needs a numeric IPv4 address");

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    const int stop_fd = signalfd(-1, &signals, SFD_CLOEXEC);

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(listener, 4096) != 0) {
        std::fprintf(stderr, "marvok-bench-echo: cannot listen on %s:%d: %s\n", address.c_str(), port,
                     std::strerror(errno));
        return 2;
    }
    std::printf("listening on %s:%d\n", address.c_str(), port);
    std::fflush(stdout);

    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listener;
    epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
    ev.data.fd = stop_fd;
    epoll_ctl(ep, EPOLL_CTL_ADD, stop_fd, &ev);

    const auto expected = fpm_request(0);
    std::vector<Connection> connections;
    epoll_event events[256];
    for (bool running = true; running;) {
        const int n = epoll_wait(ep, events, 256, -1);
        for (int k = 0; k < n; ++k) {
            const int fd = events[k].data.fd;
            if (fd == stop_fd) {
                running = false;
            } else if (fd == listener) {
                for (;;) {
                    const int client = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                    if (client < 0)
                        break;
                    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    if (static_cast<std::size_t>(client) >= connections.size())
                        connections.resize(static_cast<std::size_t>(client) + 1);
                    connections[static_cast<std::size_t>(client)] = {};
                    ev.data.fd = client;
                    epoll_ctl(ep, EPOLL_CTL_ADD, client, &ev);
                }
            } else {
                Connection& c = connections[static_cast<std::size_t>(fd)];
                const ssize_t got = recv(fd, c.request + c.have, request_size - c.have, 0);
                if (got < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                bool keep = got > 0;
                if (keep) {
                    c.have += static_cast<std::size_t>(got);
                    if (c.have == request_size) {
                        c.have = 0;
                        // Only the transaction id may differ from the read of FPM.
                        keep = std::memcmp(c.request + 2, expected.data() + 2, request_size - 2) == 0;
                        const auto reply =
                            fpm_reply(static_cast<std::uint16_t>(c.request[0] << 8 | c.request[1]));
                        keep = keep && send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) ==
                                           static_cast<ssize_t>(reply.size());
                    }
                }
                if (!keep)
                    close(fd);
            }
        }
    }
    return 0;
}
