// The load generator counts a transaction only when its reply is right, byte
// for byte: the benchmarks' figures rest on that. Against the in-process
// instrument, serving and misbehaving.
#include "frames.h"
#include "instrument.h"
#include "load.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace mb = marvok::bench;
namespace sim = marvok::sim;
using marvok::test::Instrument;
using marvok::test::RefusingAddress;
using namespace std::chrono_literals;

sim::Options serving(float fpm = mb::fpm_value, const char* fault = "none")
{
    sim::Options options;
    options.fpm = fpm;
    options.fault = *sim::parse_fault(fault);
    options.log_requests = false;
    return options;
}

mb::LoadLimits brief()
{
    mb::LoadLimits limits;
    limits.warmup = 20ms;
    limits.measure = 300ms;
    return limits;
}

TEST(LoadGenerator, KeepAliveCountsCorrectReplies)
{
    Instrument instrument(serving());
    const auto result = mb::keep_alive_load(mb::endpoint(instrument.address().text), 4, brief());
    EXPECT_EQ(result.errors, 0u) << result.first_error;
    EXPECT_GT(result.replies, 0u);
    EXPECT_GT(result.seconds, 0.2);
}

struct FaultCase {
    const char* name;
    float fpm;
    const char* fault;
    bool counted;  // whether transactions are counted as done
};

class KeepAliveAgainst : public ::testing::TestWithParam<FaultCase> {};

TEST_P(KeepAliveAgainst, CountsOnlyRightReplies)
{
    const auto& c = GetParam();
    Instrument instrument(serving(c.fpm, c.fault));
    const auto result = mb::keep_alive_load(mb::endpoint(instrument.address().text), 3, brief());
    if (c.counted) {
        EXPECT_EQ(result.errors, 0u) << result.first_error;
        EXPECT_GT(result.replies, 0u);
    } else {
        EXPECT_EQ(result.replies, 0u);
        EXPECT_EQ(result.errors, 3u) << "each client fails once and stops";
        EXPECT_FALSE(result.first_error.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, KeepAliveAgainst, ::testing::Values(
    // Another value: the reply is well formed, only its data differ.
    FaultCase{"other_value", 350.0f, "none", false},
    // Exception replies are shorter than a read's reply: not one may count.
    FaultCase{"exception", mb::fpm_value, "exception", false},
    // A server that drops the connection is a failure, not a quiet end.
    FaultCase{"close", mb::fpm_value, "close", false},
    FaultCase{"reset", mb::fpm_value, "reset", false},
    // A reply in two pieces is put together, not taken for a wrong one.
    FaultCase{"split", mb::fpm_value, "split:5", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LoadGenerator, SweepCountsEachTargetOnceAndNamesWhatFailed)
{
    Instrument good(serving()), wrong(serving(350.0f));
    RefusingAddress refusing;
    mb::ConnectionLoad load;
    load.targets = {mb::endpoint(good.address().text), mb::endpoint(refusing.address().text),
                    mb::endpoint(wrong.address().text), mb::endpoint(good.address().text)};
    load.in_flight = 2;
    load.each_once = true;
    const auto result = mb::connection_load(load, brief());
    EXPECT_EQ(result.replies, 2u);
    EXPECT_EQ(result.errors, 2u);
    EXPECT_FALSE(result.first_error.empty());
}

TEST(LoadGenerator, SweepReportsTargetsLeftUnansweredWhenTimeRunsOut)
{
    Instrument good(serving()), silent(serving(mb::fpm_value, "silent"));
    mb::ConnectionLoad load;
    load.targets = {mb::endpoint(good.address().text), mb::endpoint(silent.address().text)};
    load.each_once = true;
    const auto result = mb::connection_load(load, brief());
    EXPECT_EQ(result.replies, 1u);
    EXPECT_EQ(result.errors, 1u);
    EXPECT_NE(result.first_error.find("time limit"), std::string::npos) << result.first_error;
}

TEST(LoadGenerator, NewConnectionsFromManySourcesAllCount)
{
    Instrument instrument(serving());
    mb::ConnectionLoad load;
    load.targets = {mb::endpoint(instrument.address().text)};
    load.sources = mb::loopback_sources(8);
    load.in_flight = 4;
    const auto result = mb::connection_load(load, brief());
    EXPECT_EQ(result.errors, 0u) << result.first_error;
    EXPECT_GT(result.replies, 8u);
    EXPECT_GE(instrument.sim().connections_accepted(), static_cast<int>(result.replies));
}

}  // namespace
