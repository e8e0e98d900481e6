// The Modbus client's own operations against the in-process instrument:
// opening and closing, the read transactions' frames and reply checks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bytes.h"
#include "instrument.h"
#include "library.h"
#include "steps.h"
#include "loopback.h"
#include "modbus.h"

namespace {

using namespace std::chrono_literals;
using marvok::test::hex;
using marvok::test::Instrument;
using marvok::test::to_hex;
using marvok::test::Kind;
using marvok::test::raw;
using marvok::test::step;
using Clock = std::chrono::steady_clock;
using marvok::test::Connected;
using marvok::test::open_on;
using marvok::test::started_minus_stopped;

void fill_registers(std::int16_t pattern)
{
    for (auto& r : MODBUS_CONTEXT.registers)
        r = pattern;
}

bool registers_hold(std::int16_t pattern)
{
    for (auto r : MODBUS_CONTEXT.registers)
        if (r != pattern)
            return false;
    return true;
}

TEST(Open, ConnectsToPort502AndFormatsTheAddress)
{
    Instrument instrument;
    const long balance = started_minus_stopped();
    ASSERT_EQ(open_on(instrument.address()), 0);
    EXPECT_STREQ(MODBUS_CONTEXT.address_text, instrument.address().text.c_str());
    EXPECT_EQ(MODBUS_CONTEXT.peer.sin_family, NET_AF_INET);
    EXPECT_EQ(MODBUS_CONTEXT.peer.sin_port, net_htons(502));
    EXPECT_EQ(started_minus_stopped(), balance + 1);
    for (int i = 0; i < 200 && instrument.sim().connections_open() != 1; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(instrument.sim().connections_open(), 1);

    const auto before = Clock::now();
    EXPECT_EQ(MODBUS_CLOSE(), 0);
    EXPECT_GE(Clock::now() - before, 100ms);  // the close always pauses first
    EXPECT_EQ(started_minus_stopped(), balance);
    for (int i = 0; i < 200 && instrument.sim().connections_open() != 0; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(instrument.sim().connections_open(), 0);
}

TEST(Open, RefusedConnectionFailsPromptlyAndStopsTheLibraryAgain)
{
    marvok::test::RefusingAddress nobody;
    const long balance = started_minus_stopped();
    const auto before = Clock::now();
    EXPECT_EQ(open_on(nobody.address()), 1);
    // Far inside the 4 s connect wait; the figure itself is measured by the
    // timing tests, which run alone.
    EXPECT_LT(Clock::now() - before, 1s);
    EXPECT_EQ(started_minus_stopped(), balance);
}

struct BadAddress {
    std::int16_t a, b, c, d;
    const char* why;
};

class OpenBadAddress : public ::testing::TestWithParam<BadAddress> {};

TEST_P(OpenBadAddress, IsRefusedBeforeAnythingStartsAndWritesNothingPastTheText)
{
    const BadAddress& bad = GetParam();
    fill_registers(0x5A5A);
    std::strcpy(MODBUS_CONTEXT.address_text, "untouched");
    const long balance = started_minus_stopped();
    const auto before = Clock::now();
    EXPECT_EQ(MODBUS_OPEN(bad.a, bad.b, bad.c, bad.d), 1);
    EXPECT_LT(Clock::now() - before, 1s);
    EXPECT_EQ(started_minus_stopped(), balance);
    EXPECT_TRUE(registers_hold(0x5A5A));
    EXPECT_STREQ(MODBUS_CONTEXT.address_text, "untouched");
}

INSTANTIATE_TEST_SUITE_P(
    Parts, OpenBadAddress,
    ::testing::Values(
        // a negative part would print as "-1" and never parse
        BadAddress{-1, 0, 0, 1, "negative"},
        // 256 is one past a byte
        BadAddress{127, 0, 0, 256, "above 255"},
        // the longest text, 27 characters, would overrun the 24-byte field
        BadAddress{-32768, -32768, -32768, -32768, "longest text"},
        BadAddress{32767, 32767, 32767, 32767, "largest parts"}));

TEST(Open, SecondOpenAfterAFailedOneNeedsOneClose)
{
    marvok::test::RefusingAddress nobody;
    Instrument instrument;
    const long balance = started_minus_stopped();
    EXPECT_EQ(open_on(nobody.address()), 1);
    ASSERT_EQ(open_on(instrument.address()), 0);
    EXPECT_EQ(MODBUS_READ_INPUT_REGISTERS(1, 4, 2), 0);
    EXPECT_EQ(MODBUS_CLOSE(), 0);
    EXPECT_EQ(started_minus_stopped(), balance);
}

struct ReadRequest {
    bool input;  // function code 4, else 3
    int unit, first, count;
    const char* frame;
};

// GoogleTest would otherwise print the case byte by byte, padding included,
// which memcheck reports as a read of uninitialised memory.
void PrintTo(const ReadRequest& r, std::ostream* out) { *out << r.frame; }

class ReadRequests : public Connected, public ::testing::WithParamInterface<ReadRequest> {};

TEST_P(ReadRequests, AreByteExact)
{
    const ReadRequest& r = GetParam();
    if (r.input)
        MODBUS_READ_INPUT_REGISTERS(r.unit, r.first, r.count);
    else
        MODBUS_READ_HOLDING_REGISTERS(r.unit, r.first, r.count);
    EXPECT_EQ(last_request(), r.frame);
    EXPECT_EQ(to_hex(MODBUS_CONTEXT.request_frame, 12), r.frame);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ReadRequests,
    ::testing::Values(
        // the F measurement's request
        ReadRequest{true, 1, 4, 2, "00 00 00 00 00 06 01 04 00 04 00 02"},
        // the FPM measurement's request
        ReadRequest{true, 1, 0, 2, "00 00 00 00 00 06 01 04 00 00 00 02"},
        // holding registers; both bytes of first and count reach the wire
        ReadRequest{false, 1, 0x0102, 50, "00 00 00 00 00 06 01 03 01 02 00 32"},
        // only the low 8 bits of the unit and 16 bits of the address travel
        ReadRequest{false, 0x1FF, 0x1FFFF, 1, "00 00 00 00 00 06 FF 03 FF FF 00 01"},
        // count 0 is sent as it is
        ReadRequest{true, 7, 9, 0, "00 00 00 00 00 06 07 04 00 09 00 00"}));

struct ReplyCase {
    const char* reply;  // what one receive delivers
    int expected;       // 0 accepted, 1 refused
    const char* proves;
};

void PrintTo(const ReplyCase& c, std::ostream* out) { *out << c.proves; }

class ReadReplies : public Connected, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReadReplies, AreJudgedByLengthAndTopBitOnly)
{
    const ReplyCase& c = GetParam();
    instrument.sim().script({raw(c.reply)});
    fill_registers(0x1111);
    EXPECT_EQ(MODBUS_READ_INPUT_REGISTERS(1, 4, 2), c.expected) << c.proves;
    const auto reply = hex(c.reply);
    // The receive's bytes stay in reply_frame either way.
    EXPECT_EQ(to_hex(MODBUS_CONTEXT.reply_frame, reply.size()), to_hex(reply));
    if (c.expected == 1) {
        EXPECT_TRUE(registers_hold(0x1111)) << "a failed read keeps the registers";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Checks, ReadReplies,
    ::testing::Values(
        ReplyCase{"00 00 00 00 00 07 01 04 04 01 80 FF FE", 0, "a well-formed reply"},
        ReplyCase{"12 34 00 09 00 07 09 03 00 00 00 00 00", 0,
                  "identifiers, unit, byte count and function code are not compared"},
        ReplyCase{"00 00 00 00 00 03 01 84 02", 1, "an exception reply is too short"},
        ReplyCase{"00 00 00 00 00 06 01 04 04 01 80 FF", 1, "12 bytes is one short"},
        ReplyCase{"00 00 00 00 00 07 01 84 04 01 80 FF FE", 1, "13 bytes with the top bit set"},
        ReplyCase{"00 00 00 00 00 08 01 04 04 01 80 FF FE 00", 1, "14 bytes is one too many"},
        ReplyCase{"00 00 00 00 00 07 01", 1, "a first piece alone fails"}));

TEST_F(Connected, ReplyRegistersAreDecodedHighByteFirst)
{
    instrument.sim().script({raw("00 00 00 00 00 07 01 04 04 01 80 FF FE")});
    ASSERT_EQ(MODBUS_READ_INPUT_REGISTERS(1, 4, 2), 0);
    EXPECT_EQ(MODBUS_CONTEXT.registers[0], 384);
    EXPECT_EQ(MODBUS_CONTEXT.registers[1], -2);
}

TEST_F(Connected, HoldingRegistersReadBackFromTheInstrument)
{
    ASSERT_EQ(MODBUS_READ_HOLDING_REGISTERS(1, 0, 50), 0);
    EXPECT_TRUE(registers_hold(0));
}

TEST_F(Connected, CountZeroAcceptsANineByteReplyAndKeepsTheRegisters)
{
    instrument.sim().script({raw("00 00 00 00 00 03 01 04 00")});
    fill_registers(0x2222);
    EXPECT_EQ(MODBUS_READ_INPUT_REGISTERS(1, 0, 0), 0);
    EXPECT_TRUE(registers_hold(0x2222));
}

TEST_F(Connected, CountOutsideTheTableIsRefusedBeforeAnythingIsSent)
{
    fill_registers(0x3333);
    for (int count : {-1, 51, 1000, -32768}) {
        EXPECT_EQ(MODBUS_READ_INPUT_REGISTERS(1, 0, count), 1) << count;
        EXPECT_EQ(MODBUS_READ_HOLDING_REGISTERS(1, 0, count), 1) << count;
    }
    EXPECT_TRUE(registers_hold(0x3333));
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(instrument.sim().requests().empty());
    // The connection is still good for a proper request.
    EXPECT_EQ(MODBUS_READ_INPUT_REGISTERS(1, 0, 2), 0);
}

TEST_F(Connected, InstrumentThatClosesFailsAsSoonAsTheCloseArrives)
{
    instrument.sim().script({step(Kind::close)});
    const auto before = Clock::now();
    EXPECT_EQ(MODBUS_READ_INPUT_REGISTERS(1, 4, 2), 1);
    EXPECT_LT(Clock::now() - before, 1s);  // not the 4 s wait
}

TEST_F(Connected, SilentInstrumentFailsAfterTheFourSecondWait)
{
    instrument.sim().script({step(Kind::silent)});
    const auto before = Clock::now();
    EXPECT_EQ(MODBUS_READ_INPUT_REGISTERS(1, 4, 2), 1);
    const auto took = Clock::now() - before;
    EXPECT_GE(took, 3990ms);
    EXPECT_LT(took, 4500ms);
}

TEST_F(Connected, ALateReplyIsWhatTheNextTransactionReceives)
{
    // The first reply comes after its wait has run out; nothing discards it,
    // so the next transaction on the connection takes it as its own.
    instrument.sim().script({step(Kind::late, 5000), step(Kind::silent)});
    EXPECT_EQ(MODBUS_READ_INPUT_REGISTERS(1, 4, 2), 1);
    EXPECT_EQ(MODBUS_READ_INPUT_REGISTERS(1, 4, 2), 0);
    // The instrument reads the second request only after its late reply.
    for (int i = 0; i < 200 && instrument.sim().requests().size() < 2; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(instrument.sim().requests().size(), 2u);
}

}  // namespace
