// Start times of rounds on a steady grid of one period from the first
// round, so that a long run does not drift.
#pragma once

#include <chrono>
#include <cstdint>

namespace marvok::read {

class Schedule {
public:
    explicit Schedule(double period_seconds);

    // Waits for the next slot; when that slot has already passed, returns at
    // once and skips every slot that has passed entirely. Returns false,
    // early, as soon as `stop()` is true; it is asked a few times a second.
    bool wait_for_next_slot(bool (*stop)());

private:
    std::chrono::steady_clock::duration offset(std::uint64_t slot) const;

    std::chrono::steady_clock::time_point start_;
    double period_;
    std::uint64_t slot_ = 0;
};

}  // namespace marvok::read
