// The library soaked: 10,000 measurement calls, cycling through every way an
// instrument can fail and through successes, on the real sockets with the
// waits scaled down (soak_waits.cpp). Every call must give exactly the result
// its mode calls for, and afterwards no descriptor may be left open and the
// socket library's starts and stops must balance. Where a result rests on
// when a reply arrives against the client's waits, a call is judged only when
// its timeline (soak_waits.h) shows the timing went as planned.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "instrument.h"
#include "loopback.h"
#include "marvok.h"
#include "modbus.h"
#include "soak_waits.h"
#include "stall_watch.h"
#include "steps.h"

namespace {

using namespace std::chrono_literals;
using marvok::test::Instrument;
using marvok::test::Kind;
using marvok::test::raw;
using marvok::test::StallWatch;
using marvok::test::step;
using Clock = std::chrono::steady_clock;

constexpr int calls = 10000;
constexpr auto time_limit = 150s;
// One of the client's 4 s waits, as the soak build waits it.
constexpr int wait_ms = 4000 / MARVOK_SOAK_WAIT_DIVISOR;

constexpr double NO_CONNECTION = MARVOK_RESULT_NO_CONNECTION;
constexpr double NO_REPLY = MARVOK_RESULT_NO_REPLY;
constexpr double VALUE = 0;  // the instrument's measurement

enum class Target { instrument, refusing, bad_address };

// The instrument's delays, from the request's arrival, which comes after the
// client's first wait began.
constexpr auto split_pause = std::chrono::milliseconds(wait_ms / 2);
constexpr auto late_in_retry = std::chrono::milliseconds(wait_ms * 3 / 2);
constexpr auto late_after_both = std::chrono::milliseconds(wait_ms * 3);
// A stall this long, or a wait that times out this much late, was the
// machine's, not the client's: a reply due in it may have been sent at the
// very moment a wait gave up.
constexpr auto stall_allowed = std::chrono::milliseconds(wait_ms / 4);

// What the soak saw of one call: the library's timeline, and how long the
// whole process was held (stall_watch.h), which the client cannot see when
// the hold ends before a wait does.
struct Seen {
    SoakTimeline line;
    Clock::duration stall;
};

bool unstalled(const Seen& s) { return s.stall < stall_allowed && s.line.longest_overrun < stall_allowed; }

struct Mode {
    const char* name;
    Target target;
    std::vector<marvok::sim::Step> script;  // the instrument's steps, all of them taken
    double expected;
    int weight;  // calls in each cycle
    // Whether the call went as the expected result needs (none: the result
    // does not rest on timing). A call whose timing was stretched may take
    // the value or give 99998, and is counted apart.
    bool (*as_planned)(const Seen&) = nullptr;
};

std::vector<Mode> modes()
{
    const auto garbled = raw("00 00 00 00 00 06 01 04 04 00 00 42");  // one byte short
    const auto ms = [](std::chrono::milliseconds d) { return static_cast<int>(d.count()); };
    return {
        {"success", Target::instrument, {}, VALUE, 24, unstalled},
        {"refused", Target::refusing, {}, NO_CONNECTION, 2},
        {"bad address", Target::bad_address, {}, NO_CONNECTION, 2},
        {"close", Target::instrument, {step(Kind::close)}, NO_REPLY, 2},
        {"reset", Target::instrument, {step(Kind::reset)}, NO_REPLY, 2},
        {"exception", Target::instrument, {step(Kind::exception), step(Kind::exception)}, NO_REPLY, 2},
        {"first exception", Target::instrument, {step(Kind::exception)}, VALUE, 2, unstalled},
        {"garbled", Target::instrument, {garbled, garbled}, NO_REPLY, 1},
        {"first garbled", Target::instrument, {garbled}, VALUE, 1, unstalled},
        // the rest arrives while the retry waits, and is short as well; only
        // a first receive made before the rest was sent sees the header alone
        {"split", Target::instrument, {step(Kind::split, ms(split_pause)), step(Kind::silent)}, NO_REPLY, 1,
         [](const Seen& s) { return s.line.first_receive_end - s.line.first_wait < split_pause; }},
        {"silent", Target::instrument, {step(Kind::silent), step(Kind::silent)}, NO_REPLY, 1},
        {"late, inside the wait", Target::instrument, {step(Kind::late, wait_ms / 4)}, VALUE, 2, unstalled},
        // the first reply arrives while the retry waits, and is taken
        {"late, inside the retry", Target::instrument,
         {step(Kind::late, ms(late_in_retry)), step(Kind::silent)}, VALUE, 1, unstalled},
        // the reply cannot have been seen by waits that all ended before it was sent
        {"late, after both waits", Target::instrument,
         {step(Kind::late, ms(late_after_both)), step(Kind::silent)}, NO_REPLY, 1,
         [](const Seen& s) { return s.line.last_wait_end - s.line.first_wait < late_after_both; }},
    };
}

int open_descriptors()
{
    namespace fs = std::filesystem;
    // Less the descriptor the listing itself holds open.
    return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{})) - 1;
}

std::string describe(const Seen& s)
{
    using std::chrono::microseconds;
    const auto us = [](auto d) { return std::to_string(std::chrono::duration_cast<microseconds>(d).count()); };
    const SoakTimeline& t = s.line;
    return "from the first wait: first receive done at " + us(t.first_receive_end - t.first_wait) +
           " us, last wait done at " + us(t.last_wait_end - t.first_wait) + " us; longest overrun " +
           us(t.longest_overrun) + " us; longest stall " + us(s.stall) + " us";
}

struct Tally {
    int calls = 0, wrong = 0, stretched = 0;
    std::string first_wrong;
};

TEST(SoakLibrary, TenThousandCallsThroughEveryFailureModeGiveTheirResultsAndLeakNothing)
{
    marvok::sim::Options options;
    options.log_requests = false;  // 10,000 calls' requests would only grow memory
    Instrument instrument(options);
    marvok::test::RefusingAddress refusing;
    const std::array<std::array<short, 4>, 4> bad_addresses{{
        {300, 0, 0, 1}, {127, 0, 0, -1}, {-32768, 0, 0, 0}, {127, 256, 1, 1}}};

    const auto all = modes();
    std::vector<std::size_t> cycle;
    // Spread each mode over the cycle (a stride of 7 through it), so that no
    // mode runs back to back with itself.
    for (std::size_t m = 0; m < all.size(); ++m)
        for (int i = 0; i < all[m].weight; ++i)
            cycle.push_back(m);
    ASSERT_NE(cycle.size() % 7, 0u) << "a stride of 7 must visit the whole cycle";
    std::vector<std::size_t> spread(cycle.size());
    for (std::size_t i = 0; i < cycle.size(); ++i)
        spread[(i * 7) % cycle.size()] = cycle[i];

    std::vector<Tally> tally(all.size());
    StallWatch watch;
    const int descriptors = open_descriptors();
    const net_counters before = net_get_counters();
    const auto start = Clock::now();
    int done = 0;
    for (; done < calls && Clock::now() - start < time_limit; ++done) {
        const Mode& mode = all[spread[done % spread.size()]];
        const bool fpm = done % 2 == 0;
        const float value = 1.0f + static_cast<float>(done % 4096) * 0.25f;
        fpm ? instrument.sim().set_fpm(value) : instrument.sim().set_f(value);
        const int accepted = instrument.sim().connections_accepted();
        instrument.sim().script(mode.script);

        std::array<short, 4> at{};
        switch (mode.target) {
        case Target::instrument: std::copy_n(instrument.address().parts.begin(), 4, at.begin()); break;
        case Target::refusing: std::copy_n(refusing.address().parts.begin(), 4, at.begin()); break;
        case Target::bad_address: at = bad_addresses[static_cast<std::size_t>(done) % bad_addresses.size()]; break;
        }
        soak_timeline_reset();
        watch.reset();
        const double result = fpm ? MARVOK_MODBUS_READ_FPM(at[0], at[1], at[2], at[3], 0)
                                  : MARVOK_MODBUS_READ_F(at[0], at[1], at[2], at[3], 0);
        const Seen seen{soak_timeline(), watch.held()};
        const double expected = mode.expected == VALUE ? value : mode.expected;
        const int connections = instrument.sim().connections_accepted() - accepted;
        const int expected_connections = mode.target == Target::instrument ? 1 : 0;
        // The instrument takes steps in arrival order across connections: a
        // late reply's connection must be gone, with the retry it has still
        // to read, before the next call's steps are set.
        const auto closed_by = Clock::now() + 2s;
        while (instrument.sim().connections_open() > 0 && Clock::now() < closed_by)
            std::this_thread::sleep_for(100us);

        Tally& t = tally[&mode - all.data()];
        ++t.calls;
        const bool planned = !mode.as_planned || mode.as_planned(seen);
        const bool right = planned ? result == expected : result == value || result == NO_REPLY;
        t.stretched += planned ? 0 : 1;
        if (!right || connections != expected_connections) {
            if (t.wrong++ == 0)
                t.first_wrong = "call " + std::to_string(done) + ": " + std::to_string(result) + " over " +
                                std::to_string(connections) + " connections; " + describe(seen);
        }
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    const net_counters after = net_get_counters();
    for (int i = 0; i < 400 && instrument.sim().connections_open() > 0; ++i)
        std::this_thread::sleep_for(5ms);

    EXPECT_EQ(done, calls) << "the run was cut at " << time_limit.count() << " s";
    std::printf("%d calls in %.1f s (waits divided by %d: %d ms each)\n", done, took.count() / 1000.0,
                MARVOK_SOAK_WAIT_DIVISOR, wait_ms);
    std::printf("%-24s %7s %7s %9s  %s\n", "mode", "calls", "wrong", "stretched", "expected");
    for (std::size_t m = 0; m < all.size(); ++m) {
        const char* expected = all[m].expected == VALUE ? "the value"
                               : all[m].expected == NO_REPLY ? "99998 no reply"
                                                             : "99999 no connection";
        std::printf("%-24s %7d %7d %9d  %s\n", all[m].name, tally[m].calls, tally[m].wrong,
                    tally[m].stretched, expected);
        EXPECT_EQ(tally[m].wrong, 0) << all[m].name << ", first " << tally[m].first_wrong;
        // A mode whose every call was stretched has proved nothing.
        EXPECT_LT(tally[m].stretched, tally[m].calls) << all[m].name;
    }
    std::printf("starts %ld, stops %ld\n", after.startups - before.startups, after.cleanups - before.cleanups);
    EXPECT_EQ(after.startups - before.startups, after.cleanups - before.cleanups);
    EXPECT_EQ(instrument.sim().connections_open(), 0);
    EXPECT_EQ(open_descriptors(), descriptors) << "descriptors left open";
}

}  // namespace
