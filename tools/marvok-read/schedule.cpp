#include "schedule.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace marvok::read {

Schedule::Schedule(double period_seconds)
    : start_(std::chrono::steady_clock::now()), period_(period_seconds)
{
}

bool Schedule::wait_for_next_slot(bool (*stop)())
{
    // A signal does not cut a sleep short, so the wait goes in short steps.
    constexpr auto STEP = std::chrono::milliseconds(50);
    ++slot_;
    const auto due = start_ + offset(slot_);
    auto now = std::chrono::steady_clock::now();
    if (now >= due) {
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double current = std::floor(elapsed / period_);
        if (current > static_cast<double>(slot_))
            slot_ = static_cast<std::uint64_t>(current);
        return !stop();
    }
    while (now < due) {
        if (stop())
            return false;
        std::this_thread::sleep_until(std::min(due, now + STEP));
        now = std::chrono::steady_clock::now();
    }
    return !stop();
}

std::chrono::steady_clock::duration Schedule::offset(std::uint64_t slot) const
{
    // Beyond a century the exact time no longer matters, and the cap keeps
    // the conversion within the clock's range.
    constexpr double CENTURY_SECONDS = 100 * 366 * 86400.0;
    const double seconds = std::min(static_cast<double>(slot) * period_, CENTURY_SECONDS);
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
}

}  // namespace marvok::read
