// What the soak build of the library saw of the call under way, so that the
// soak can tell a call whose timing went as planned from one the scheduler
// stretched. A stretched call cannot say whether a late reply fell inside a
// wait, however sound the library. Recorded on the calling thread.
#pragma once

#include <chrono>

struct SoakTimeline {
    using Clock = std::chrono::steady_clock;
    Clock::time_point first_wait;         // the call's first wait began
    Clock::time_point last_wait_end;      // its last wait returned
    Clock::time_point first_receive_end;  // its first receive returned
    // The most that any wait which timed out ran past its time-out.
    Clock::duration longest_overrun{};
};

void soak_timeline_reset();
SoakTimeline soak_timeline();
