#include "platform.h"

#include <csignal>
#include <cstdint>

namespace marvok::sim::platform {

// Windows has no SIGUSR1; the status line is a POSIX affair.
const bool has_status_signal = false;

Signals::Signals(asio::io_context& io, std::function<void()> stop, std::function<void()> status)
    : set_(io, SIGINT, SIGTERM), stop_(std::move(stop)), status_(std::move(status))
{
    wait();
}

void Signals::wait()
{
    set_.async_wait([this](const std::error_code& ec, int) {
        if (!ec)
            stop_();
    });
}

// Sockets are handles, which no per-process count of descriptors limits.
std::size_t prepare_process() { return SIZE_MAX; }

}  // namespace marvok::sim::platform
