// The fuzzing socket layer (net_fuzz.h) behind net.h.
#include "net_fuzz.h"

#include <algorithm>
#include <cstring>

#include "net.h"

namespace fuzz_net {

namespace {

Stream* current = nullptr;
Activity state;
int open_sockets = 0;
long total_startups = 0, total_cleanups = 0;
constexpr net_socket_t FAKE_SOCKET = 7;

}  // namespace

int Stream::receive(std::uint8_t* out, int capacity)
{
    if (pending_ == 0) {
        if (at_ == size_)
            return 0;
        const std::uint8_t mark = data_[at_++];
        if (mark == 0xFF)
            return -1;
        std::size_t length = mark;
        if (mark == 0xFE) {
            length = 0;
            for (int i = 0; i < 2 && at_ < size_; ++i)
                length = length * 256 + data_[at_++];
        }
        pending_ = std::min(length, size_ - at_);
        if (pending_ == 0)
            return 0;
    }
    const std::size_t n = std::min(pending_, static_cast<std::size_t>(capacity));
    std::memcpy(out, data_ + at_, n);
    at_ += n;
    pending_ -= n;
    return static_cast<int>(n);
}

void use(Stream* stream) { current = stream; }

const Activity& activity() { return state; }

void reset_activity() { state = Activity{}; }

int sockets_open() { return open_sockets; }

}  // namespace fuzz_net

using fuzz_net::open_sockets;
using fuzz_net::state;

int net_startup(std::uint16_t, net_startup_record* record)
{
    std::memset(record->bytes, 0, sizeof record->bytes);
    ++state.startups;
    ++fuzz_net::total_startups;
    return 0;
}

int net_cleanup()
{
    ++state.cleanups;
    ++fuzz_net::total_cleanups;
    return 0;
}

net_counters net_get_counters() { return {fuzz_net::total_startups, fuzz_net::total_cleanups}; }

net_socket_t net_socket(int, int, int)
{
    ++open_sockets;
    return fuzz_net::FAKE_SOCKET;
}

int net_connect(net_socket_t s, const net_sockaddr_in*, int) { return s == fuzz_net::FAKE_SOCKET ? 0 : -1; }

int net_closesocket(net_socket_t s)
{
    if (s != fuzz_net::FAKE_SOCKET)
        return -1;
    --open_sockets;
    return 0;
}

int net_select(int, net_fd_set* readfds, net_fd_set* writefds, net_fd_set* exceptfds, const net_timeval*)
{
    int ready = 0;
    for (net_fd_set* set : {readfds, writefds, exceptfds})
        if (set)
            ready += static_cast<int>(set->fd_count);
    return ready > 0 ? ready : -1;
}

int net_send(net_socket_t s, const void* data, int length, int)
{
    if (s != fuzz_net::FAKE_SOCKET || length < 0)
        return -1;
    ++state.sends;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    state.sent.assign(bytes, bytes + length);
    return length;
}

int net_recv(net_socket_t s, void* data, int capacity, int)
{
    if (s != fuzz_net::FAKE_SOCKET || capacity < 0 || !fuzz_net::current)
        return -1;
    auto* bytes = static_cast<std::uint8_t*>(data);
    const int result = fuzz_net::current->receive(bytes, capacity);
    state.receives.push_back({result, capacity > 7 ? bytes[7] : std::uint8_t{0}});
    return result;
}

std::uint16_t net_htons(std::uint16_t host) { return static_cast<std::uint16_t>(host << 8 | host >> 8); }

std::uint32_t net_inet_addr(const char*) { return 0x0100007F; }

void net_sleep(unsigned) {}
