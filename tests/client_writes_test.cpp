// The client's register writes (function codes 6 and 16) against the
// in-process instrument: frames, reply checks, time-outs, and the register
// table left as it was.
#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <vector>

#include "bytes.h"
#include "instrument.h"
#include "library.h"
#include "steps.h"
#include "modbus.h"

namespace {

using namespace std::chrono_literals;
using marvok::test::Instrument;
using marvok::test::to_hex;
using marvok::test::Kind;
using marvok::test::raw;
using marvok::test::step;
using Clock = std::chrono::steady_clock;

void set_registers(std::initializer_list<int> values)
{
    int i = 0;
    for (int v : values)
        MODBUS_CONTEXT.registers[i++] = static_cast<std::int16_t>(v);
}

std::vector<std::int16_t> registers()
{
    return {std::begin(MODBUS_CONTEXT.registers), std::end(MODBUS_CONTEXT.registers)};
}

using Writes = marvok::test::Connected;

struct SingleWrite {
    int unit, address, value;
    const char* frame;
};

// GoogleTest would otherwise print the case byte by byte, padding included,
// which memcheck reports as a read of uninitialised memory.
void PrintTo(const SingleWrite& w, std::ostream* out) { *out << w.frame; }

class SingleWrites : public Writes, public ::testing::WithParamInterface<SingleWrite> {};

TEST_P(SingleWrites, AreByteExact)
{
    const SingleWrite& w = GetParam();
    instrument.sim().script({raw("00 00 00 00 00 06 01 06 00 0A 01 2C")});
    EXPECT_EQ(MODBUS_WRITE_SINGLE_REGISTER(w.unit, w.address, w.value), 0);
    EXPECT_EQ(last_request(), w.frame);
    EXPECT_EQ(to_hex(MODBUS_CONTEXT.request_frame, 12), w.frame);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, SingleWrites,
    ::testing::Values(
        // 300 to register 10
        SingleWrite{1, 10, 300, "00 00 00 00 00 06 01 06 00 0A 01 2C"},
        // a negative value travels as its two's complement
        SingleWrite{1, 10, -2, "00 00 00 00 00 06 01 06 00 0A FF FE"},
        // only the low 8 bits of the unit and 16 bits of address and value travel
        SingleWrite{0x102, 0x1FFFF, 0x18000, "00 00 00 00 00 06 02 06 FF FF 80 00"}));

struct MultipleWrite {
    int unit, first;
    std::vector<int> values;
    const char* frame;
};

class MultipleWrites : public Writes, public ::testing::WithParamInterface<MultipleWrite> {};

TEST_P(MultipleWrites, AreByteExactAndLeaveTheRegistersAlone)
{
    const MultipleWrite& w = GetParam();
    for (std::size_t i = 0; i < w.values.size(); ++i)
        MODBUS_CONTEXT.registers[i] = static_cast<std::int16_t>(w.values[i]);
    const auto before = registers();
    instrument.sim().script({raw("00 00 00 00 00 06 01 10 00 00 00 03")});
    EXPECT_EQ(MODBUS_WRITE_MULTIPLE_REGISTERS(w.unit, w.first, static_cast<int>(w.values.size())), 0);
    EXPECT_EQ(last_request(), w.frame);
    EXPECT_EQ(registers(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, MultipleWrites,
    ::testing::Values(
        // three values, unit 2, from register 0
        MultipleWrite{2, 0, {1, -1, 256},
                      "00 00 00 00 00 0D 02 10 00 00 00 03 06 00 01 FF FF 01 00"},
        // the extremes of a register
        MultipleWrite{1, 256, {-32768, 32767},
                      "00 00 00 00 00 0B 01 10 01 00 00 02 04 80 00 7F FF"},
        // count 0: byte count 0 and no values
        MultipleWrite{1, 0, {}, "00 00 00 00 00 07 01 10 00 00 00 00 00"}));

TEST_F(Writes, FiftyRegistersMakeThe113ByteRequest)
{
    for (int i = 0; i < 50; ++i)
        MODBUS_CONTEXT.registers[i] = static_cast<std::int16_t>(i * 0x0101);
    ASSERT_EQ(MODBUS_WRITE_MULTIPLE_REGISTERS(1, 0, 50), 0);
    const auto request = instrument.sim().requests().back().frame;
    ASSERT_EQ(request.size(), 113u);
    EXPECT_EQ(to_hex(std::vector<std::uint8_t>(request.begin(), request.begin() + 13)),
              "00 00 00 00 00 6B 01 10 00 00 00 32 64");
    EXPECT_EQ(request[13 + 2 * 49], 49);
    EXPECT_EQ(request[14 + 2 * 49], 49);
}

TEST_F(Writes, WrittenValuesReadBackFromTheInstrument)
{
    ASSERT_EQ(MODBUS_WRITE_SINGLE_REGISTER(1, 3, -1234), 0);
    set_registers({11, -22, 33});
    ASSERT_EQ(MODBUS_WRITE_MULTIPLE_REGISTERS(1, 20, 3), 0);
    set_registers({0, 0, 0});
    ASSERT_EQ(MODBUS_READ_HOLDING_REGISTERS(1, 3, 1), 0);
    EXPECT_EQ(MODBUS_CONTEXT.registers[0], -1234);
    ASSERT_EQ(MODBUS_READ_HOLDING_REGISTERS(1, 20, 3), 0);
    EXPECT_EQ(MODBUS_CONTEXT.registers[0], 11);
    EXPECT_EQ(MODBUS_CONTEXT.registers[1], -22);
    EXPECT_EQ(MODBUS_CONTEXT.registers[2], 33);
    EXPECT_EQ(instrument.sim().holding_register(21), static_cast<std::uint16_t>(-22));
}

struct WriteReply {
    const char* reply;
    int expected;
    const char* proves;
};

void PrintTo(const WriteReply& c, std::ostream* out) { *out << c.proves; }

class WriteReplies : public Writes, public ::testing::WithParamInterface<WriteReply> {};

TEST_P(WriteReplies, AreJudgedByLengthAndTopBitOnly)
{
    const WriteReply& c = GetParam();
    set_registers({5, 6});
    const auto before = registers();
    instrument.sim().script({raw(c.reply), raw(c.reply)});
    EXPECT_EQ(MODBUS_WRITE_SINGLE_REGISTER(1, 10, 300), c.expected) << "single: " << c.proves;
    EXPECT_EQ(MODBUS_WRITE_MULTIPLE_REGISTERS(1, 0, 2), c.expected) << "multiple: " << c.proves;
    EXPECT_EQ(registers(), before) << c.proves;
}

INSTANTIATE_TEST_SUITE_P(
    Checks, WriteReplies,
    ::testing::Values(
        WriteReply{"00 00 00 00 00 06 01 06 00 0A 01 2C", 0, "a proper echo"},
        WriteReply{"AB CD 00 00 00 06 09 03 12 34 56 78", 0,
                   "identifiers, unit, function code and echo are not compared"},
        WriteReply{"00 00 00 00 00 03 01 86 02", 1, "an exception reply is short"},
        WriteReply{"00 00 00 00 00 06 01 86 00 0A 01 2C", 1, "12 bytes with the top bit set"},
        WriteReply{"00 00 00 00 00 07 01 06 00 0A 01 2C 00", 1, "13 bytes is one too many"},
        WriteReply{"00 00 00 00 00 05 01 06 00 0A 01", 1, "11 bytes is one short"}));

TEST_F(Writes, CountOutsideTheTableIsRefusedBeforeAnythingIsSent)
{
    set_registers({1, 2, 3});
    const auto before = registers();
    for (int count : {-1, 51, 200})
        EXPECT_EQ(MODBUS_WRITE_MULTIPLE_REGISTERS(1, 0, count), 1) << count;
    EXPECT_EQ(registers(), before);
    EXPECT_TRUE(instrument.sim().requests().empty());
}

struct Timeout {
    bool multiple;
    std::chrono::milliseconds wait;
};

void PrintTo(const Timeout& t, std::ostream* out) { *out << (t.multiple ? "multiple" : "single"); }

class WriteTimeouts : public Writes, public ::testing::WithParamInterface<Timeout> {};

TEST_P(WriteTimeouts, SilentInstrumentFailsAfterTheWait)
{
    const Timeout& t = GetParam();
    set_registers({7, 8});
    const auto values = registers();
    instrument.sim().script({step(Kind::silent)});
    const auto before = Clock::now();
    EXPECT_EQ(t.multiple ? MODBUS_WRITE_MULTIPLE_REGISTERS(1, 0, 2)
                         : MODBUS_WRITE_SINGLE_REGISTER(1, 0, 1),
              1);
    const auto took = Clock::now() - before;
    std::printf("silent instrument: %s write failed after %.3f s\n",
                t.multiple ? "multiple" : "single",
                std::chrono::duration<double>(took).count());
    EXPECT_GE(took, t.wait - 10ms);
    EXPECT_LT(took, t.wait + 500ms);
    EXPECT_EQ(registers(), values);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, WriteTimeouts,
    ::testing::Values(Timeout{false, 4000ms},   // function code 6 waits 4 s
                      Timeout{true, 5000ms}));  // function code 16 waits 5 s

}  // namespace
