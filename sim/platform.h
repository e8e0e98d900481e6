// What differs between POSIX and Windows for the marvok-sim program: the
// signals it answers, and the limit on open descriptors. CMake picks
// platform_posix.cpp or platform_win.cpp.
#pragma once

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <cstddef>
#include <functional>

namespace marvok::sim::platform {

// Calls `stop` on SIGINT or SIGTERM, and `status` on each SIGUSR1 where
// there is such a signal (not on Windows), from `io`'s thread.
class Signals {
public:
    Signals(asio::io_context& io, std::function<void()> stop, std::function<void()> status);

private:
    void wait();

    asio::signal_set set_;
    std::function<void()> stop_, status_;
};

// Whether `status` of Signals is ever called here, for --help.
extern const bool has_status_signal;

// Prepares the process to serve: a reader of our output that goes away must
// not kill it (SIGPIPE), and the soft limit on open descriptors is raised to
// the hard one. Returns how many descriptors the process may have open
// (SIZE_MAX where sockets are not counted so).
std::size_t prepare_process();

}  // namespace marvok::sim::platform
