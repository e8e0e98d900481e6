// The socket library as the Modbus client sees it: Winsock-shaped operations
// with one set of types for every platform. net_win.cpp forwards them to
// Windows Sockets; net_posix.cpp provides them on top of BSD sockets.
// Nothing here allocates; every call runs on the caller's thread.
#pragma once

#include <cstdint>

// A socket handle, wide enough for a Windows SOCKET. NET_INVALID_SOCKET is
// what a failed net_socket() returns on every platform.
typedef std::uintptr_t net_socket_t;
constexpr net_socket_t NET_INVALID_SOCKET = ~net_socket_t{0};

constexpr int NET_AF_INET = 2;
constexpr int NET_SOCK_STREAM = 1;
constexpr int NET_IPPROTO_TCP = 6;
constexpr std::uint32_t NET_INADDR_NONE = 0xFFFFFFFFu;

// IPv4 socket address, laid out as sockaddr_in is on both platforms (16 bytes).
struct net_sockaddr_in {
    std::uint16_t sin_family;
    std::uint16_t sin_port;   // network byte order
    std::uint32_t sin_addr;   // network byte order
    unsigned char sin_zero[8];
};
static_assert(sizeof(net_sockaddr_in) == 16, "sockaddr_in is 16 bytes");

// A socket set in the Winsock manner: a count and a list of handles, so any
// handle value fits, however high. Waits are done with poll on POSIX.
constexpr unsigned NET_FD_SETSIZE = 4;
struct net_fd_set {
    unsigned fd_count;
    net_socket_t fd_array[NET_FD_SETSIZE];
};

struct net_timeval {
    long tv_sec;
    long tv_usec;
};

// The start-up record that net_startup fills; large enough for WSADATA.
struct net_startup_record {
    alignas(8) unsigned char bytes[512];
};

void net_fd_zero(net_fd_set* set);
// Adds s unless the set already holds it (or is full).
void net_fd_set_add(net_socket_t s, net_fd_set* set);

// 0 when the socket library started, non-zero otherwise.
int net_startup(std::uint16_t version, net_startup_record* record);
int net_cleanup();

net_socket_t net_socket(int family, int type, int protocol);
// Blocking connect; a negative result is failure.
int net_connect(net_socket_t s, const net_sockaddr_in* peer, int length);
int net_closesocket(net_socket_t s);

// Waits until a socket of the sets is ready or the time-out runs out: a
// positive count of ready sockets (each set then holds only its ready
// ones), 0 on time-out, negative on error. nfds is ignored, as in Winsock;
// tv is not changed.
int net_select(int nfds, net_fd_set* readfds, net_fd_set* writefds, net_fd_set* exceptfds,
               const net_timeval* tv);

// Never raises SIGPIPE: a peer that reset the connection gives a negative result.
int net_send(net_socket_t s, const void* data, int length, int flags);
int net_recv(net_socket_t s, void* data, int capacity, int flags);

std::uint16_t net_htons(std::uint16_t host);
// Dotted-decimal text to an IPv4 address in network byte order; NET_INADDR_NONE
// for a text it rejects.
std::uint32_t net_inet_addr(const char* text);

// Pauses the calling thread for ms milliseconds (it lives in its own file,
// net_sleep_*.cpp, so a benchmark can link a pause of its own).
void net_sleep(unsigned ms);

// Socket-library starts and stops since the library was loaded, so tests can
// see that they balance.
struct net_counters {
    long startups;
    long cleanups;
};
net_counters net_get_counters();
