#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <stdexcept>

namespace marvok::test {

namespace {

std::mt19937& generator()
{
    static std::mt19937 gen(static_cast<unsigned>(
        getpid() ^ std::chrono::steady_clock::now().time_since_epoch().count()));
    return gen;
}

int bind_tcp(const std::string& text, std::uint16_t port, int& error)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, text.c_str(), &addr.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = errno;
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

Loopback random_loopback()
{
    std::uniform_int_distribution<int> mid(1, 254), any(0, 255), last(1, 254);
    const std::int16_t b = static_cast<std::int16_t>(mid(generator()));
    const std::int16_t c = static_cast<std::int16_t>(any(generator()));
    const std::int16_t d = static_cast<std::int16_t>(last(generator()));
    return {{127, b, c, d},
            "127." + std::to_string(b) + "." + std::to_string(c) + "." + std::to_string(d)};
}

RefusingAddress::RefusingAddress(std::uint16_t port)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        address_ = random_loopback();
        int error = 0;
        fd_ = bind_tcp(address_.text, port, error);
        if (fd_ >= 0)
            return;
        if (error != EADDRINUSE)
            throw std::runtime_error("cannot bind " + address_.text + ": " + std::strerror(error));
    }
    throw std::runtime_error("no free loopback address found");
}

RefusingAddress::~RefusingAddress()
{
    if (fd_ >= 0)
        close(fd_);
}

std::string port_502_problem()
{
    int error = 0;
    const int fd = bind_tcp(random_loopback().text, 502, error);
    if (fd >= 0) {
        close(fd);
        return {};
    }
    if (error == EACCES || error == EPERM)
        return "binding port 502 needs root: run the tests as root, or through "
               "scripts/test.sh, which runs them in a private user and network namespace";
    if (error == EADDRNOTAVAIL)
        return "the loopback interface is down: bring it up (ip link set lo up)";
    return std::string("cannot bind loopback port 502: ") + std::strerror(error);
}

}  // namespace marvok::test
