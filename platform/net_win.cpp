// The socket library on Windows: Windows Sockets 2 (ws2_32) behind the calls
// of net.h, converting only the types.
#include "net.h"

#include <winsock2.h>

#include <atomic>
#include <cstring>

static_assert(sizeof(WSADATA) <= sizeof(net_startup_record), "start-up record too small");
static_assert(sizeof(SOCKET) == sizeof(net_socket_t), "socket handle width");
static_assert(NET_INVALID_SOCKET == INVALID_SOCKET, "invalid socket value");

namespace {

std::atomic<long> startups{0};
std::atomic<long> cleanups{0};

// Copies a set into a Winsock fd_set (which holds up to FD_SETSIZE handles).
fd_set* to_native(const net_fd_set* set, fd_set* native)
{
    if (!set)
        return nullptr;
    FD_ZERO(native);
    for (unsigned i = 0; i < set->fd_count; ++i)
        FD_SET(static_cast<SOCKET>(set->fd_array[i]), native);
    return native;
}

void from_native(net_fd_set* set, const fd_set* native)
{
    if (!set)
        return;
    set->fd_count = 0;
    for (unsigned i = 0; i < native->fd_count && i < NET_FD_SETSIZE; ++i)
        set->fd_array[set->fd_count++] = static_cast<net_socket_t>(native->fd_array[i]);
}

}  // namespace

int net_startup(std::uint16_t version, net_startup_record* record)
{
    const int rc = WSAStartup(version, reinterpret_cast<WSADATA*>(record->bytes));
    if (rc == 0)
        startups.fetch_add(1, std::memory_order_relaxed);
    return rc;
}

int net_cleanup()
{
    cleanups.fetch_add(1, std::memory_order_relaxed);
    return WSACleanup();
}

net_counters net_get_counters() { return {startups.load(), cleanups.load()}; }

net_socket_t net_socket(int family, int type, int protocol)
{
    return static_cast<net_socket_t>(socket(family, type, protocol));
}

int net_connect(net_socket_t s, const net_sockaddr_in* peer, int length)
{
    sockaddr_in addr;
    std::memcpy(&addr, peer, sizeof addr);
    return connect(static_cast<SOCKET>(s), reinterpret_cast<const sockaddr*>(&addr), length);
}

int net_closesocket(net_socket_t s) { return closesocket(static_cast<SOCKET>(s)); }

int net_select(int nfds, net_fd_set* readfds, net_fd_set* writefds, net_fd_set* exceptfds,
               const net_timeval* tv)
{
    fd_set r, w, e;
    timeval t;
    timeval* tp = nullptr;
    if (tv) {
        t.tv_sec = tv->tv_sec;
        t.tv_usec = tv->tv_usec;
        tp = &t;
    }
    const int rc = select(nfds, to_native(readfds, &r), to_native(writefds, &w),
                          to_native(exceptfds, &e), tp);
    if (rc > 0) {
        from_native(readfds, &r);
        from_native(writefds, &w);
        from_native(exceptfds, &e);
    }
    return rc;
}

int net_send(net_socket_t s, const void* data, int length, int flags)
{
    return send(static_cast<SOCKET>(s), static_cast<const char*>(data), length, flags);
}

int net_recv(net_socket_t s, void* data, int capacity, int flags)
{
    return recv(static_cast<SOCKET>(s), static_cast<char*>(data), capacity, flags);
}

std::uint16_t net_htons(std::uint16_t host) { return htons(host); }

std::uint32_t net_inet_addr(const char* text) { return inet_addr(text); }
