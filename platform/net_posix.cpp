// The socket library on POSIX: BSD sockets behind the Winsock-shaped calls
// of net.h. Waits use poll, never FD_SET, so a host that already holds more
// than FD_SETSIZE descriptors still gets correct results; sends never raise
// SIGPIPE in the host.
#include "net.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace {

std::atomic<long> startups{0};
std::atomic<long> cleanups{0};

int to_fd(net_socket_t s) { return static_cast<int>(static_cast<std::intptr_t>(s)); }

long long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// poll that resumes after a signal with what is left of the time-out.
int poll_for(pollfd* fds, nfds_t count, long long timeout_ms)
{
    const long long deadline = now_ms() + timeout_ms;
    for (;;) {
        const long long left = deadline - now_ms();
        const int rc = poll(fds, count, left > 0 ? static_cast<int>(left) : 0);
        if (rc >= 0 || errno != EINTR)
            return rc;
    }
}

}  // namespace

int net_startup(std::uint16_t, net_startup_record* record)
{
    std::memset(record->bytes, 0, sizeof record->bytes);
    startups.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

int net_cleanup()
{
    cleanups.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

net_counters net_get_counters() { return {startups.load(), cleanups.load()}; }

net_socket_t net_socket(int family, int type, int protocol)
{
    const int fd = socket(family, type | SOCK_CLOEXEC, protocol);
    if (fd < 0)
        return NET_INVALID_SOCKET;
    return static_cast<net_socket_t>(static_cast<std::intptr_t>(fd));
}

int net_connect(net_socket_t s, const net_sockaddr_in* peer, int length)
{
    if (s == NET_INVALID_SOCKET || length != static_cast<int>(sizeof(sockaddr_in)))
        return -1;
    sockaddr_in addr{};
    addr.sin_family = peer->sin_family;
    addr.sin_port = peer->sin_port;
    addr.sin_addr.s_addr = peer->sin_addr;
    if (addr.sin_addr.s_addr == NET_INADDR_NONE)
        return -1;  // Winsock refuses the all-ones address too
    const int fd = to_fd(s);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
        return 0;
    if (errno != EINTR)
        return -1;
    // A signal cut the blocking connect short; it goes on in the kernel, so
    // wait for its outcome instead of starting another.
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
        const int rc = poll(&p, 1, -1);
        if (rc > 0)
            break;
        if (rc < 0 && errno != EINTR)
            return -1;
    }
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
        return -1;
    return 0;
}

int net_closesocket(net_socket_t s)
{
    if (s == NET_INVALID_SOCKET)
        return -1;
    return close(to_fd(s));
}

int net_select(int, net_fd_set* readfds, net_fd_set* writefds, net_fd_set* exceptfds,
               const net_timeval* tv)
{
    net_fd_set* sets[3] = {readfds, writefds, exceptfds};
    const short events[3] = {POLLIN, POLLOUT, POLLPRI};
    pollfd fds[3 * NET_FD_SETSIZE];
    nfds_t count = 0;
    for (int k = 0; k < 3; ++k) {
        if (!sets[k])
            continue;
        for (unsigned i = 0; i < sets[k]->fd_count; ++i) {
            if (sets[k]->fd_array[i] == NET_INVALID_SOCKET)
                return -1;
            fds[count++] = pollfd{to_fd(sets[k]->fd_array[i]), events[k], 0};
        }
    }
    if (count == 0)
        return -1;  // Winsock rejects a wait on nothing
    long long timeout_ms = -1;
    if (tv)
        timeout_ms = static_cast<long long>(tv->tv_sec) * 1000 + (tv->tv_usec + 999) / 1000;
    const int rc = poll_for(fds, count, timeout_ms < 0 ? 0 : timeout_ms);
    if (rc <= 0)
        return rc;
    for (nfds_t i = 0; i < count; ++i)
        if (fds[i].revents & POLLNVAL)
            return -1;

    // Keep in each set only the sockets that are ready, as select does. A
    // hang-up or an error counts as ready: the next send or recv reports it.
    int ready = 0;
    nfds_t at = 0;
    for (int k = 0; k < 3; ++k) {
        if (!sets[k])
            continue;
        net_fd_set& set = *sets[k];
        unsigned kept = 0;
        for (unsigned i = 0; i < set.fd_count; ++i, ++at) {
            const short seen = fds[at].revents;
            const bool on = (seen & events[k]) || (k < 2 && (seen & (POLLHUP | POLLERR)));
            if (on) {
                set.fd_array[kept++] = set.fd_array[i];
                ++ready;
            }
        }
        set.fd_count = kept;
    }
    return ready;
}

int net_send(net_socket_t s, const void* data, int length, int flags)
{
    if (length < 0)
        return -1;
    ssize_t n;
    do
        n = send(to_fd(s), data, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

int net_recv(net_socket_t s, void* data, int capacity, int flags)
{
    if (capacity < 0)
        return -1;
    ssize_t n;
    do
        n = recv(to_fd(s), data, static_cast<size_t>(capacity), flags);
    while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

std::uint16_t net_htons(std::uint16_t host) { return htons(host); }

std::uint32_t net_inet_addr(const char* text) { return inet_addr(text); }
