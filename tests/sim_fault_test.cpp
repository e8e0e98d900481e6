// Faults on demand, as a client sees them: the fault option, its first-
// forms, and scripts of per-request steps with the request log.
#include "instrument.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace marvok::test {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using Status = RawClient::Status;
constexpr auto wait = 2000ms;
constexpr auto quiet = 250ms;  // how long "no answer" is watched for

// What a client sees of one request.
struct Seen {
    Status status = Status::timeout;  // data once the whole reply is in
    Bytes bytes;
    milliseconds first_at{};  // from sending to the first bytes
    // From the header's arrival to the last byte's, as the kernel stamped
    // them: 0 for a reply sent in one piece, whatever the scheduler did to
    // this thread in between.
    std::chrono::nanoseconds apart{};
};

milliseconds since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - t);
}

Seen observe(RawClient& client, const Bytes& request, milliseconds within = wait)
{
    Seen seen;
    const auto sent = std::chrono::steady_clock::now();
    client.send(request);
    auto first = client.receive_some(within, 7);  // the header, or all of a shorter answer
    seen.status = first.status;
    seen.bytes = first.bytes;
    if (first.status != Status::data)
        return seen;
    seen.first_at = since(sent);
    if (seen.bytes.size() == 7) {
        const std::size_t total = 6 + (seen.bytes[4] << 8 | seen.bytes[5]);
        if (total > seen.bytes.size()) {
            auto rest = client.receive(total - seen.bytes.size(), wait);
            seen.bytes.insert(seen.bytes.end(), rest.bytes.begin(), rest.bytes.end());
            seen.status = rest.status;
            seen.apart = rest.arrived - first.arrived;
        }
    }
    return seen;
}

sim::Options with_fault(const char* text)
{
    sim::Options options;
    options.f = 100.0f;
    const auto fault = sim::parse_fault(text);
    EXPECT_TRUE(fault) << text;
    options.fault = fault.value_or(sim::Fault{});
    return options;
}

// Requests of both kinds, with the reply each gets when served.
const Bytes read_f = read_request(0x0A01, 4, 4, 2);
const Bytes read_f_reply{0x0A, 0x01, 0, 0, 0, 7, 1, 4, 4, 0, 0, 0x42, 0xC8};
const Bytes write_7 = modbus_frame(0x0A02, 1, {6, 0, 7, 0x12, 0x34});

Bytes device_failure(const Bytes& request)
{
    return {request[0], request[1], 0, 0, 0, 3, request[6], static_cast<std::uint8_t>(request[7] | 0x80), 4};
}

TEST(SimFaultText, Parses)
{
    using M = sim::FaultMode;
    const struct {
        const char* text;
        M mode;
        bool first_only;
        int ms;
    } good[] = {
        {"none", M::none, false, 0},
        {"silent", M::silent, false, 0},
        {"close", M::close, false, 0},
        {"reset", M::reset, false, 0},
        {"exception", M::exception, false, 0},
        {"late:0", M::late, false, 0},                   // no delay is still a delay mode
        {"late:3600000", M::late, false, 3600000},       // the longest delay
        {"split", M::split, false, 50},                  // the default pause is explicit
        {"split:120", M::split, false, 120},             // the pause can be chosen
        {"first-silent", M::silent, true, 0},
        {"first-late:300", M::late, true, 300},
        {"first-split", M::split, true, 50},
        {"first-reset", M::reset, true, 0},
    };
    for (const auto& c : good) {
        SCOPED_TRACE(c.text);
        const auto fault = sim::parse_fault(c.text);
        ASSERT_TRUE(fault);
        EXPECT_EQ(fault->mode, c.mode);
        EXPECT_EQ(fault->first_only, c.first_only);
        EXPECT_EQ(fault->ms, c.ms);
    }
    const char* const bad[] = {
        "",                    // nothing
        "late",                // a delay needs its milliseconds
        "late:",               // an empty number
        "late:-1",             // negative
        "late:+5",             // a sign
        "late:5ms",            // a unit after the number
        "late:3600001",        // longer than an hour
        "late:99999999999",    // beyond int: must not wrap
        "silent:5",            // only late and split take milliseconds
        "first-",              // a prefix alone
        "first-none",          // nothing to do first
        "first-first-silent",  // the prefix once
        "Silent",              // names are exact
        " silent",             // no padding
        "timeout",             // unknown mode
    };
    for (const char* text : bad)
        EXPECT_FALSE(sim::parse_fault(text)) << '"' << text << '"';
}

// One fault mode for every request: what a client sees, for a read and a write.
struct FaultCase {
    const char* fault;
    enum Outcome { served, nothing, eof, reset, exception, late, split } outcome;
    int ms;  // late: the least delay; split: the least pause
    const char* name;
};

void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.fault; }

class SimFault : public testing::TestWithParam<FaultCase> {};

TEST_P(SimFault, AsSeenByTheClient)
{
    const auto& c = GetParam();
    for (const auto* request : {&read_f, &write_7}) {
        SCOPED_TRACE((*request)[7] == 4 ? "read" : "write");
        Instrument instrument(with_fault(c.fault));
        RawClient client(instrument.address().text);
        const bool written = request == &write_7;
        const Bytes served = written ? write_7 : read_f_reply;
        const auto seen = observe(client, *request, c.outcome == FaultCase::nothing ? quiet : wait);
        switch (c.outcome) {
        case FaultCase::served:
            EXPECT_EQ(seen.bytes, served);
            EXPECT_EQ(seen.apart, 0ns);
            break;
        case FaultCase::nothing:
            EXPECT_EQ(seen.status, Status::timeout);
            EXPECT_TRUE(seen.bytes.empty());
            // The connection stays open, and later requests go unanswered too.
            EXPECT_EQ(observe(client, *request, quiet).status, Status::timeout);
            EXPECT_EQ(instrument.sim().connections_open(), 1);
            break;
        case FaultCase::eof:
            EXPECT_EQ(seen.status, Status::eof);
            EXPECT_TRUE(seen.bytes.empty());
            break;
        case FaultCase::reset:
            EXPECT_EQ(seen.status, Status::reset);
            EXPECT_TRUE(seen.bytes.empty());
            break;
        case FaultCase::exception:
            EXPECT_EQ(seen.bytes, device_failure(*request));
            break;
        case FaultCase::late:
            EXPECT_EQ(seen.bytes, served);
            EXPECT_GE(seen.first_at, milliseconds(c.ms));
            EXPECT_EQ(seen.apart, 0ns);
            break;
        case FaultCase::split:
            EXPECT_EQ(seen.status, Status::data);
            EXPECT_EQ(seen.bytes, served);
            EXPECT_GE(seen.apart, milliseconds(c.ms));
            break;
        }
        // A request that is not served leaves the registers alone.
        const bool applies = c.outcome == FaultCase::served || c.outcome == FaultCase::late ||
                             c.outcome == FaultCase::split;
        if (written) {
            EXPECT_EQ(instrument.sim().holding_register(7), applies ? 0x1234 : 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SimFault,
    testing::Values(
        FaultCase{"none", FaultCase::served, 0, "none"},                // the baseline: one piece, at once
        FaultCase{"silent", FaultCase::nothing, 0, "silent"},           // read but never answered
        FaultCase{"close", FaultCase::eof, 0, "close"},                 // an orderly close instead of a reply
        FaultCase{"reset", FaultCase::reset, 0, "reset"},               // RST, not FIN
        FaultCase{"exception", FaultCase::exception, 0, "exception"},   // exception 04 for any function
        FaultCase{"late:200", FaultCase::late, 200, "late"},            // whole reply, but only after the delay
        FaultCase{"split", FaultCase::split, 40, "split"},              // header, ~50 ms, the rest
        FaultCase{"split:150", FaultCase::split, 140, "split_pause"}),  // the pause as asked
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// first- forms: the first request on each connection is hit; the retry on the
// same connection is served.
class SimFirstFault : public testing::TestWithParam<FaultCase> {};

TEST_P(SimFirstFault, HitsOnlyTheFirstRequestOfEachConnection)
{
    const auto& c = GetParam();
    Instrument instrument(with_fault(c.fault));
    for (int connection = 0; connection < 2; ++connection) {
        SCOPED_TRACE(connection == 0 ? "first connection" : "second connection");
        RawClient client(instrument.address().text);
        const auto seen = observe(client, read_f, c.outcome == FaultCase::nothing ? quiet : wait);
        switch (c.outcome) {
        case FaultCase::nothing: EXPECT_EQ(seen.status, Status::timeout); break;
        case FaultCase::eof: EXPECT_EQ(seen.status, Status::eof); break;
        case FaultCase::reset: EXPECT_EQ(seen.status, Status::reset); break;
        case FaultCase::exception: EXPECT_EQ(seen.bytes, device_failure(read_f)); break;
        case FaultCase::late:
            EXPECT_EQ(seen.bytes, read_f_reply);
            EXPECT_GE(seen.first_at, milliseconds(c.ms));
            break;
        case FaultCase::split:
            EXPECT_GE(seen.apart, milliseconds(c.ms));
            EXPECT_EQ(seen.bytes, read_f_reply);
            break;
        case FaultCase::served: break;
        }
        if (c.outcome == FaultCase::eof || c.outcome == FaultCase::reset)
            continue;  // nothing left to retry on
        // The retry: answered at once, in one piece, with its own transaction id.
        auto retry = read_f;
        retry[1] = 0x02;
        auto expected = read_f_reply;
        expected[1] = 0x02;
        const auto again = observe(client, retry);
        EXPECT_EQ(again.bytes, expected);
        EXPECT_EQ(again.apart, 0ns);
        if (c.outcome == FaultCase::late) {
            EXPECT_LT(again.first_at, milliseconds(c.ms));
        }
        // And the third as well: "first" means only the first.
        EXPECT_EQ(observe(client, retry).bytes, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, SimFirstFault,
    testing::Values(
        FaultCase{"first-silent", FaultCase::nothing, 0, "silent"},          // the retry gets its own answer
        FaultCase{"first-close", FaultCase::eof, 0, "close"},                // every new connection is hit again
        FaultCase{"first-reset", FaultCase::reset, 0, "reset"},              // likewise, with RST
        FaultCase{"first-exception", FaultCase::exception, 0, "exception"},  // then served normally
        FaultCase{"first-late:200", FaultCase::late, 200, "late"},           // the retry is not delayed
        FaultCase{"first-split", FaultCase::split, 40, "split"}),             // the retry comes in one piece
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// Positional braces leaving out the bytes would warn under -Wextra.
sim::Step step(sim::Step::Kind kind, int ms = 0, Bytes bytes = {})
{
    return {kind, ms, std::move(bytes)};
}

Bytes numbered(std::uint8_t transaction)
{
    auto request = read_f;
    request[0] = 0;
    request[1] = transaction;
    return request;
}

Bytes numbered_reply(std::uint8_t transaction)
{
    auto reply = read_f_reply;
    reply[0] = 0;
    reply[1] = transaction;
    return reply;
}

TEST(SimScript, StepsGoToRequestsInArrivalOrderAcrossConnections)
{
    Instrument instrument(with_fault("none"));
    auto& sim = instrument.sim();
    using K = sim::Step::Kind;
    sim.script({step(K::silent), step(K::raw, 0, {0xDE, 0xAD}), step(K::exception), step(K::late, 150),
                step(K::split, 80), step(K::raw), step(K::reset)});
    RawClient a(instrument.address().text), b(instrument.address().text);

    EXPECT_EQ(observe(a, numbered(1), quiet).status, Status::timeout);
    const auto raw = observe(b, numbered(2));
    EXPECT_EQ(raw.bytes, (Bytes{0xDE, 0xAD}));  // exactly these bytes, nothing made up around them
    EXPECT_EQ(b.receive_some(50ms).status, Status::timeout);
    EXPECT_EQ(observe(a, numbered(3)).bytes, device_failure(numbered(3)));
    const auto late = observe(b, numbered(4));
    EXPECT_EQ(late.bytes, numbered_reply(4));
    EXPECT_GE(late.first_at, 150ms);
    const auto split = observe(a, numbered(5));
    EXPECT_EQ(split.bytes, numbered_reply(5));
    EXPECT_GE(split.apart, 70ms);
    EXPECT_EQ(observe(b, numbered(6), quiet).status, Status::timeout);  // raw with no bytes: no answer
    EXPECT_EQ(observe(a, numbered(7)).status, Status::reset);
    // The script is used up: normal serving again.
    EXPECT_EQ(observe(b, numbered(8)).bytes, numbered_reply(8));

    const auto log = sim.requests();
    ASSERT_EQ(log.size(), 8u);
    const int connection_of[] = {1, 2, 1, 2, 1, 2, 1, 2};
    for (std::size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log[i].connection, connection_of[i]);
        EXPECT_EQ(log[i].frame, numbered(static_cast<std::uint8_t>(i + 1)));
        if (i > 0) {
            EXPECT_GE(log[i].at, log[i - 1].at);
        }
    }
    // Even the late one is logged when it arrives, not when it is answered.
    EXPECT_GE(log[4].at - log[3].at, 150ms);
}

TEST(SimScript, ComesBeforeTheFaultOption)
{
    Instrument instrument(with_fault("first-exception"));
    using K = sim::Step::Kind;
    instrument.sim().script({step(K::close), step(K::serve)});

    RawClient a(instrument.address().text);
    EXPECT_EQ(observe(a, numbered(1)).status, Status::eof);  // step 1
    RawClient b(instrument.address().text);
    EXPECT_EQ(observe(b, numbered(2)).bytes, numbered_reply(2));  // step 2, though first on b
    EXPECT_EQ(observe(b, numbered(3)).bytes, numbered_reply(3));  // not first on b: served
    RawClient c(instrument.address().text);
    EXPECT_EQ(observe(c, numbered(4)).bytes, device_failure(numbered(4)));  // the fault again
}

TEST(SimScript, ANewScriptReplacesWhatIsLeftOfTheOld)
{
    Instrument instrument(with_fault("none"));
    using K = sim::Step::Kind;
    auto& sim = instrument.sim();
    sim.script({step(K::exception), step(K::exception), step(K::exception)});
    RawClient client(instrument.address().text);
    EXPECT_EQ(observe(client, numbered(1)).bytes, device_failure(numbered(1)));
    sim.script({step(K::late, 100)});
    const auto late = observe(client, numbered(2));
    EXPECT_EQ(late.bytes, numbered_reply(2));
    EXPECT_GE(late.first_at, 100ms);
    EXPECT_EQ(observe(client, numbered(3)).bytes, numbered_reply(3));
    sim.script({step(K::exception)});
    sim.script({});
    EXPECT_EQ(observe(client, numbered(4)).bytes, numbered_reply(4));
}

}  // namespace
}  // namespace marvok::test
