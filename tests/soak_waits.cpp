// The waits of the soak build of the library: the real POSIX sockets, with
// every time-out and pause divided by MARVOK_SOAK_WAIT_DIVISOR, so that a
// silent instrument costs milliseconds instead of seconds. soak.cmake builds
// platform/net_posix.cpp for the soak with its net_select and net_recv
// renamed: this net_select scales the time-out on the way in, net_sleep
// replaces the pause, and both they and net_recv keep the call's timeline.
#include "soak_waits.h"

#include <time.h>

#include <cerrno>

#include "net.h"

int marvok_soak_unscaled_select(int nfds, net_fd_set* readfds, net_fd_set* writefds,
                                net_fd_set* exceptfds, const net_timeval* tv);
int marvok_soak_unscaled_recv(net_socket_t s, void* data, int capacity, int flags);

namespace {
SoakTimeline timeline;  // a time point left at its epoch is not reached yet
}  // namespace

void soak_timeline_reset() { timeline = SoakTimeline{}; }

SoakTimeline soak_timeline() { return timeline; }

int net_select(int nfds, net_fd_set* readfds, net_fd_set* writefds, net_fd_set* exceptfds,
               const net_timeval* tv)
{
    if (!tv)
        return marvok_soak_unscaled_select(nfds, readfds, writefds, exceptfds, tv);
    const long long us = (tv->tv_sec * 1000000LL + tv->tv_usec) / MARVOK_SOAK_WAIT_DIVISOR;
    const net_timeval scaled{static_cast<long>(us / 1000000), static_cast<long>(us % 1000000)};
    const auto began = SoakTimeline::Clock::now();
    const int rc = marvok_soak_unscaled_select(nfds, readfds, writefds, exceptfds, &scaled);
    const auto ended = SoakTimeline::Clock::now();
    if (timeline.first_wait == SoakTimeline::Clock::time_point{})
        timeline.first_wait = began;
    timeline.last_wait_end = ended;
    if (rc == 0) {
        const auto overrun = ended - began - std::chrono::microseconds(us);
        if (overrun > timeline.longest_overrun)
            timeline.longest_overrun = overrun;
    }
    return rc;
}

int net_recv(net_socket_t s, void* data, int capacity, int flags)
{
    const int rc = marvok_soak_unscaled_recv(s, data, capacity, flags);
    if (timeline.first_receive_end == SoakTimeline::Clock::time_point{})
        timeline.first_receive_end = SoakTimeline::Clock::now();
    return rc;
}

void net_sleep(unsigned ms)
{
    const long long ns = ms * 1000000LL / MARVOK_SOAK_WAIT_DIVISOR;
    timespec left{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
