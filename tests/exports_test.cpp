// The three exported functions as a host calls them: the word order of the
// value, the single retry of connection and exchange, the sentinels and the
// pacing delay.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "bytes.h"
#include "instrument.h"
#include "library.h"
#include "steps.h"
#include "loopback.h"
#include "marvok.h"
#include "modbus.h"

namespace {

using namespace std::chrono_literals;
using marvok::test::hex;
using marvok::test::Instrument;
using marvok::test::Kind;
using marvok::test::raw;
using marvok::test::step;
using Clock = std::chrono::steady_clock;
using marvok::test::measure;
using marvok::test::started_minus_stopped;

constexpr double NO_REPLY = 99998.0;

float from_bits(std::uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::uint32_t to_bits(double value)
{
    const float single = static_cast<float>(value);
    std::uint32_t bits;
    std::memcpy(&bits, &single, sizeof bits);
    return bits;
}

TEST(Revision, Is103AndTouchesNoNetwork)
{
    const net_counters before = net_get_counters();
    EXPECT_EQ(MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION(), 103.0);
    const net_counters after = net_get_counters();
    EXPECT_EQ(after.startups, before.startups);
    EXPECT_EQ(after.cleanups, before.cleanups);
}

TEST(Measurements, EachReadsItsOwnRegisterPair)
{
    Instrument instrument;
    instrument.sim().set_fpm(350.25f);
    instrument.sim().set_f(-49.5f);
    EXPECT_EQ(measure(MARVOK_MODBUS_READ_FPM, instrument.address()), 350.25);
    EXPECT_EQ(measure(MARVOK_MODBUS_READ_F, instrument.address()), -49.5);
    const auto requests = instrument.sim().requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(marvok::test::to_hex(requests[0].frame), "00 00 00 00 00 06 01 04 00 00 00 02");
    EXPECT_EQ(marvok::test::to_hex(requests[1].frame), "00 00 00 00 00 06 01 04 00 04 00 02");
    EXPECT_NE(requests[0].connection, requests[1].connection) << "each call brackets its own";
}

struct WordOrder {
    const char* data;     // reply bytes 9 to 12
    std::uint32_t bits;   // the single the call must return
    const char* proves;
};

// GoogleTest would otherwise print the case byte by byte, padding included,
// which memcheck reports as a read of uninitialised memory.
void PrintTo(const WordOrder& c, std::ostream* out) { *out << c.proves; }

class ValueWordOrder : public ::testing::TestWithParam<WordOrder> {};

TEST_P(ValueWordOrder, LowWordComesInTheFirstRegister)
{
    const WordOrder& c = GetParam();
    Instrument instrument;
    instrument.sim().script({raw(std::string("00 00 00 00 00 07 01 04 04 ") + c.data)});
    const double value = measure(MARVOK_MODBUS_READ_F, instrument.address());
    EXPECT_EQ(to_bits(value), c.bits) << c.proves << ": got " << value;
    EXPECT_EQ(value, static_cast<double>(from_bits(c.bits))) << c.proves;
}

INSTANTIATE_TEST_SUITE_P(
    Values, ValueWordOrder,
    ::testing::Values(
        WordOrder{"00 00 42 C8", 0x42C80000, "100.0"},
        WordOrder{"00 00 3F 80", 0x3F800000, "1.0"},
        // the halves of 100.0 swapped give a denormal of about 2.4e-41
        WordOrder{"42 C8 00 00", 0x000042C8, "swapped halves"},
        // a genuine 99999.0 cannot be told from the sentinel
        WordOrder{"4F 80 47 C3", 0x47C34F80, "99999.0 in-band"},
        WordOrder{"00 00 7F 80", 0x7F800000, "+infinity passed through"},
        WordOrder{"00 00 FF 80", 0xFF800000, "-infinity passed through"},
        WordOrder{"12 34 BF 9D", 0xBF9D1234, "every byte lands in its place"}));

TEST(ValueWordOrderNaN, NaNIsReturnedNotRejected)
{
    Instrument instrument;
    instrument.sim().script({raw("00 00 00 00 00 07 01 04 04 00 01 7F C0")});
    EXPECT_TRUE(std::isnan(measure(MARVOK_MODBUS_READ_F, instrument.address())));
}

struct RetryCase {
    std::vector<marvok::sim::Step> script;
    double result;        // 0 means: the instrument's F value
    std::size_t requests; // requests the instrument saw
    int connections;
    const char* proves;
};

void PrintTo(const RetryCase& c, std::ostream* out) { *out << c.proves; }

class RetryPaths : public ::testing::TestWithParam<RetryCase> {};

TEST_P(RetryPaths, GiveTheValueOrTheSentinel)
{
    const RetryCase& c = GetParam();
    Instrument instrument;
    instrument.sim().set_f(42.5f);
    instrument.sim().script(c.script);
    const long balance = started_minus_stopped();
    const double expected = c.result == 0 ? 42.5 : c.result;
    EXPECT_EQ(measure(MARVOK_MODBUS_READ_F, instrument.address()), expected) << c.proves;
    EXPECT_EQ(instrument.sim().requests().size(), c.requests) << c.proves;
    EXPECT_EQ(instrument.sim().connections_accepted(), c.connections) << c.proves;
    EXPECT_EQ(started_minus_stopped(), balance) << c.proves;
}

const marvok::sim::Step exception_reply = step(Kind::exception);
const marvok::sim::Step bad_top_bit = raw("00 00 00 00 00 07 01 84 04 00 00 42 C8");

INSTANTIATE_TEST_SUITE_P(
    Faults, RetryPaths,
    ::testing::Values(
        // an exception, then a good reply on the same connection
        RetryCase{{exception_reply}, 0, 2, 1, "second exchange succeeds"},
        // both exchanges answered with exceptions
        RetryCase{{exception_reply, exception_reply}, NO_REPLY, 2, 1, "two exceptions"},
        // the top bit alone marks a failure
        RetryCase{{bad_top_bit, bad_top_bit}, NO_REPLY, 2, 1, "top bit set twice"},
        // a reply in two pieces is judged by the first piece; the retry then
        // receives the rest of it alone, which is short as well
        RetryCase{{step(Kind::split, 50), step(Kind::silent)}, NO_REPLY, 2, 1, "split"},
        // the second exchange runs on the closed connection and fails too
        RetryCase{{step(Kind::close)}, NO_REPLY, 1, 1, "closed instead of answering"},
        // a reset, then a send on the reset connection: no SIGPIPE
        RetryCase{{step(Kind::reset)}, NO_REPLY, 1, 1, "reset"}));

TEST(RetryPathsTimed, SilentInstrumentGivesNoReplyAfterTwoWaitsOnOneConnection)
{
    Instrument instrument;
    instrument.sim().script({step(Kind::silent), step(Kind::silent)});
    const auto before = Clock::now();
    EXPECT_EQ(measure(MARVOK_MODBUS_READ_FPM, instrument.address()), NO_REPLY);
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 8090ms);  // two 4 s waits and the 100 ms pause
    EXPECT_LT(took, 8800ms);
    EXPECT_EQ(instrument.sim().requests().size(), 2u);
    EXPECT_EQ(instrument.sim().connections_accepted(), 1);
}

TEST(RetryPathsTimed, LateReplyIsTakenByTheRetry)
{
    Instrument instrument;
    instrument.sim().set_f(7.25f);
    instrument.sim().script({step(Kind::late, 5000), step(Kind::silent)});
    EXPECT_EQ(measure(MARVOK_MODBUS_READ_F, instrument.address()), 7.25);
    EXPECT_EQ(instrument.sim().requests().size(), 2u);
}

}  // namespace
