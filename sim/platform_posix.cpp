#include "platform.h"

#include <sys/resource.h>

#include <csignal>
#include <cstdint>

namespace marvok::sim::platform {

const bool has_status_signal = true;

Signals::Signals(asio::io_context& io, std::function<void()> stop, std::function<void()> status)
    : set_(io, SIGINT, SIGTERM, SIGUSR1), stop_(std::move(stop)), status_(std::move(status))
{
    wait();
}

void Signals::wait()
{
    set_.async_wait([this](const std::error_code& ec, int number) {
        if (ec)
            return;
        if (number == SIGUSR1) {
            status_();
            wait();
        } else {
            stop_();
        }
    });
}

std::size_t prepare_process()
{
    std::signal(SIGPIPE, SIG_IGN);
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return SIZE_MAX;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > SIZE_MAX ? SIZE_MAX
                                                                         : static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace marvok::sim::platform
