#include "interrupt.h"

#include <atomic>
#include <csignal>

namespace marvok::read::interrupt {

namespace {

// Lock-free, so the handler may store it; on Windows the handler runs on a
// thread of its own.
std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void on_signal(int number)
{
    stop_requested.store(true);
    std::signal(number, SIG_DFL);
}

void handle(int number)
{
    if (std::signal(number, on_signal) == SIG_IGN)
        std::signal(number, SIG_IGN);
}

}  // namespace

void install()
{
    handle(SIGINT);
    handle(SIGTERM);
}

bool requested() { return stop_requested.load(); }

}  // namespace marvok::read::interrupt
