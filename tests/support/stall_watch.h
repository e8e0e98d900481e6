// A thread that wakes every millisecond and keeps the longest time it was
// kept from running since the last reset. A long gap means the whole process
// was held (a virtual machine that stalled, a process stopped): time that no
// code under test could use, and that a timed test can take out of what it
// measures instead of blaming the code for it.
#pragma once

#include <algorithm>
#include <chrono>
#include <mutex>
#include <stop_token>
#include <thread>

namespace marvok::test {

class StallWatch {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto tick_period = std::chrono::milliseconds(1);

    StallWatch()
        : thread_([this](std::stop_token stop) {
              while (!stop.stop_requested()) {
                  std::this_thread::sleep_for(tick_period);
                  tick();
              }
          })
    {
    }

    void reset()
    {
        std::lock_guard lock(mutex_);
        last_ = Clock::now();
        longest_ = {};
    }

    // The longest gap since the reset (the one still open included) beyond
    // a tick: the time the process was held.
    Clock::duration held()
    {
        tick();
        std::lock_guard lock(mutex_);
        return std::max(Clock::duration::zero(), longest_ - Clock::duration(tick_period));
    }

private:
    void tick()
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        longest_ = std::max(longest_, now - last_);
        last_ = now;
    }

    std::mutex mutex_;
    Clock::time_point last_ = Clock::now();
    Clock::duration longest_{};
    std::jthread thread_;  // last: it starts once the rest is made
};

}  // namespace marvok::test
