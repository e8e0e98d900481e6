// The library and the simulator against libmodbus: which of libmodbus's
// float helpers writes our word order, the library reading FPM and F from an
// instrument written with libmodbus, and libmodbus's client reading and
// writing our simulator's registers and getting its exception replies.
#include <gtest/gtest.h>

#include MARVOK_LIBMODBUS_HEADER  // libmodbus's, not our client's modbus.h

#include <bit>
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "instrument.h"
#include "loopback.h"
#include "marvok.h"
#include "sim_program.h"

namespace marvok::test {
namespace {

using namespace std::chrono_literals;

constexpr float fpm_value = 100.0f;
// No two bytes alike, so any swap of words or bytes shows.
constexpr float f_value = -1.2345678f;

struct Helper {
    const char* name;
    void (*set)(float, std::uint16_t*);
    float (*get)(const std::uint16_t*);
    bool set_ours, get_ours;  // whether it writes, or reads, our word order
};

void PrintTo(const Helper& h, std::ostream* out) { *out << h.name; }

class LibmodbusFloatHelpers : public testing::TestWithParam<Helper> {};

// Our order: the first register holds the low-order 16 bits, as a 16-bit
// value (libmodbus sends each register high byte first).
TEST_P(LibmodbusFloatHelpers, WriteAndReadOurWordOrderOrNot)
{
    const Helper& h = GetParam();
    for (const float value : {fpm_value, f_value}) {
        const auto bits = std::bit_cast<std::uint32_t>(value);
        std::uint16_t written[2] = {};
        h.set(value, written);
        const bool low_word_first = written[0] == (bits & 0xFFFF) && written[1] == bits >> 16;
        EXPECT_EQ(low_word_first, h.set_ours) << "modbus_set_float_" << h.name << " stores " << value << " as "
                                              << std::hex << written[0] << " " << written[1] << " (bits " << bits << ")";
        const std::uint16_t ours[2] = {static_cast<std::uint16_t>(bits & 0xFFFF), static_cast<std::uint16_t>(bits >> 16)};
        EXPECT_EQ(h.get(ours) == value, h.get_ours) << "modbus_get_float_" << h.name << " reads " << h.get(ours);
    }
}

// In libmodbus 3.1.6 (Debian 12) the setter and the getter of one name do
// not agree for cdab and dcba: our order is written by set_float_dcba and
// read by get_float_cdab.
INSTANTIATE_TEST_SUITE_P(
    Helpers, LibmodbusFloatHelpers,
    testing::Values(
        // high word first, high byte first
        Helper{"abcd", modbus_set_float_abcd, modbus_get_float_abcd, false, false},
        // high word first, bytes swapped
        Helper{"badc", modbus_set_float_badc, modbus_get_float_badc, false, false},
        // writes the low word first with its bytes swapped; reads ours
        Helper{"cdab", modbus_set_float_cdab, modbus_get_float_cdab, false, true},
        // writes ours; reads the low word first with its bytes swapped
        Helper{"dcba", modbus_set_float_dcba, modbus_get_float_dcba, true, false}));

// Nine significant digits give back every float exactly.
std::string exact(float value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

// A libmodbus instrument on a loopback address of its own.
struct ModbusInstrument {
    ModbusInstrument(float fpm, float f)
    {
        std::string said;
        for (int attempt = 0; attempt < 20; ++attempt) {
            address = random_loopback();
            process = std::make_unique<RunningProgram>(
                std::vector<std::string>{MARVOK_MODBUS_INSTRUMENT, address.text, exact(fpm), exact(f)});
            const auto first = process->line(10s);
            if (first && first->starts_with("listening on"))
                return;
            said = process->stderr_text(1s);  // an address in use: try another
        }
        throw std::runtime_error("the libmodbus instrument did not start: " + said);
    }
    Loopback address;
    std::unique_ptr<RunningProgram> process;
};

double read_measurement(bool fpm, const Loopback& at)
{
    const auto& p = at.parts;
    return fpm ? MARVOK_MODBUS_READ_FPM(p[0], p[1], p[2], p[3], 0) : MARVOK_MODBUS_READ_F(p[0], p[1], p[2], p[3], 0);
}

TEST(LibmodbusInstrument, LibraryReadsFpmAndF)
{
    ModbusInstrument instrument(fpm_value, f_value);
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(read_measurement(true, instrument.address), fpm_value) << "round " << round;
        EXPECT_EQ(read_measurement(false, instrument.address), f_value) << "round " << round;
    }
    instrument.process->signal(SIGTERM);
    EXPECT_EQ(instrument.process->exit_status(5s), -SIGTERM)
        << "it should still have been serving: " << instrument.process->stderr_text(1s);
}

// libmodbus's client connected to our simulator.
class LibmodbusClient : public testing::Test {
protected:
    void SetUp() override
    {
        instrument.sim().set_fpm(fpm_value);
        instrument.sim().set_f(f_value);
        ctx = modbus_new_tcp(instrument.address().text.c_str(), 502);
        ASSERT_NE(ctx, nullptr);
        modbus_set_slave(ctx, 1);
        modbus_set_response_timeout(ctx, 2, 0);
        ASSERT_EQ(modbus_connect(ctx), 0) << modbus_strerror(errno);
    }
    void TearDown() override
    {
        if (ctx) {
            modbus_close(ctx);
            modbus_free(ctx);
        }
    }

    Instrument instrument;
    modbus_t* ctx = nullptr;
};

TEST_F(LibmodbusClient, ReadsTheMeasurementsInOurWordOrder)
{
    std::uint16_t input[10] = {};
    ASSERT_EQ(modbus_read_input_registers(ctx, 0, 10, input), 10) << modbus_strerror(errno);
    EXPECT_EQ(modbus_get_float_cdab(input + 0), fpm_value);
    EXPECT_EQ(modbus_get_float_cdab(input + 4), f_value);
    EXPECT_EQ(input[0], 0x0000);
    EXPECT_EQ(input[1], 0x42C8);
}

TEST_F(LibmodbusClient, WritesHoldingRegistersAndReadsThemBack)
{
    ASSERT_EQ(modbus_write_register(ctx, 30, 0xBEEF), 1) << modbus_strerror(errno);
    const std::uint16_t values[] = {1, 0x8000, 0xFFFF};
    ASSERT_EQ(modbus_write_registers(ctx, 97, 3, values), 3) << modbus_strerror(errno);
    EXPECT_EQ(instrument.sim().holding_register(30), 0xBEEF);
    EXPECT_EQ(instrument.sim().holding_register(97), 1);
    EXPECT_EQ(instrument.sim().holding_register(99), 0xFFFF);

    std::uint16_t back[100] = {};
    ASSERT_EQ(modbus_read_registers(ctx, 0, 100, back), 100) << modbus_strerror(errno);
    EXPECT_EQ(back[30], 0xBEEF);
    EXPECT_EQ(back[98], 0x8000);
    EXPECT_EQ(back[29], 0);
}

TEST_F(LibmodbusClient, ReportsTheSimulatorsExceptionsAsItsOwnErrors)
{
    std::uint16_t registers[3];
    EXPECT_EQ(modbus_read_registers(ctx, 99, 2, registers), -1);
    EXPECT_EQ(errno, EMBXILADD) << modbus_strerror(errno);
    EXPECT_EQ(modbus_read_input_registers(ctx, 8, 3, registers), -1);
    EXPECT_EQ(errno, EMBXILADD) << modbus_strerror(errno);
    // The connection stays usable after an exception.
    EXPECT_EQ(modbus_read_input_registers(ctx, 4, 2, registers), 2);
}

struct ExceptionCase {
    std::vector<std::uint8_t> request;  // unit id, then the PDU
    std::uint8_t code;
    const char* proves;
};

void PrintTo(const ExceptionCase& c, std::ostream* out) { *out << c.proves; }

class LibmodbusRawExceptions : public LibmodbusClient, public testing::WithParamInterface<ExceptionCase> {};

// Requests libmodbus's own calls refuse to send, sent raw.
TEST_P(LibmodbusRawExceptions, ComeBackAsTheExceptionForTheRequest)
{
    const auto& c = GetParam();
    auto request = c.request;
    ASSERT_GT(modbus_send_raw_request(ctx, request.data(), static_cast<int>(request.size())), 0)
        << modbus_strerror(errno);
    std::uint8_t reply[MODBUS_TCP_MAX_ADU_LENGTH];
    ASSERT_EQ(modbus_receive_confirmation(ctx, reply), 9) << c.proves << ": " << modbus_strerror(errno);
    EXPECT_EQ(reply[6], 1) << c.proves;
    EXPECT_EQ(reply[7], request[1] | 0x80) << c.proves;
    EXPECT_EQ(reply[8], c.code) << c.proves;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, LibmodbusRawExceptions,
    testing::Values(
        // 01: a function the instrument does not have (read device identification)
        ExceptionCase{{1, 0x2B, 0x0E, 0x01, 0x00}, 0x01, "unknown function"},
        // 03: a count of 0
        ExceptionCase{{1, 0x03, 0x00, 0x00, 0x00, 0x00}, 0x03, "count 0"},
        // 03: a byte count that does not match the register count
        ExceptionCase{{1, 0x10, 0x00, 0x00, 0x00, 0x02, 0x03, 0x00, 0x01, 0x00}, 0x03, "byte count lies"}));

}  // namespace
}  // namespace marvok::test
