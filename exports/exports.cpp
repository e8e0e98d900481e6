// The library's boundary: the revision query and the two measurement calls,
// each one self-contained exchange with the instrument.
#define MARVOK_BUILDING
#include "marvok.h"

#include <cstring>

#include "modbus.h"

namespace {

constexpr double REVISION = 103.0;
constexpr double RESULT_NO_CONNECTION = MARVOK_RESULT_NO_CONNECTION;
constexpr double RESULT_NO_REPLY = MARVOK_RESULT_NO_REPLY;
constexpr int MEASUREMENT_UNIT = 1;
constexpr int FPM_FIRST_REGISTER = 0;
constexpr int F_FIRST_REGISTER = 4;
constexpr int MEASUREMENT_REGISTERS = 2;
constexpr int CLOSE_PAUSE_MS = 100;

double read_measurement(short a, short b, short c, short d, short delay, int first)
{
    modbus_context_t& ctx = MODBUS_CONTEXT;

    if (MODBUS_OPEN(a, b, c, d) != 0 && MODBUS_OPEN(a, b, c, d) != 0)
        return RESULT_NO_CONNECTION;

    if (MODBUS_READ_INPUT_REGISTERS(MEASUREMENT_UNIT, first, MEASUREMENT_REGISTERS) != 0 &&
        MODBUS_READ_INPUT_REGISTERS(MEASUREMENT_UNIT, first, MEASUREMENT_REGISTERS) != 0) {
        MODBUS_CLOSE();
        return RESULT_NO_REPLY;
    }
    MODBUS_CLOSE();

    // The low-order word comes in the first register, each register high
    // byte first: reply bytes 10, 9, 12, 11 are the single from LSB to MSB.
    ctx.value_bytes[0] = ctx.reply_frame[10];
    ctx.value_bytes[1] = ctx.reply_frame[9];
    ctx.value_bytes[2] = ctx.reply_frame[12];
    ctx.value_bytes[3] = ctx.reply_frame[11];

    if (delay > CLOSE_PAUSE_MS)
        net_sleep(static_cast<unsigned>(delay - CLOSE_PAUSE_MS));

    const std::uint32_t bits = std::uint32_t{ctx.value_bytes[0]} |
                               std::uint32_t{ctx.value_bytes[1]} << 8 |
                               std::uint32_t{ctx.value_bytes[2]} << 16 |
                               std::uint32_t{ctx.value_bytes[3]} << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

extern "C" {

MARVOK_API double MARVOK_CALL MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION(void) { return REVISION; }

MARVOK_API double MARVOK_CALL MARVOK_MODBUS_READ_FPM(short a, short b, short c, short d, short delay)
{
    return read_measurement(a, b, c, d, delay, FPM_FIRST_REGISTER);
}

MARVOK_API double MARVOK_CALL MARVOK_MODBUS_READ_F(short a, short b, short c, short d, short delay)
{
    return read_measurement(a, b, c, d, delay, F_FIRST_REGISTER);
}

}
