// Fuzzes the client's reply handling: every transaction and both
// measurement exports run over replies taken from the fuzz input (through
// the socket layer of net_fuzz.cpp). Each transaction must return 0 or 1 as
// its documented check says (one receive of exactly the expected length, the
// function code's top bit clear), and must change nothing in the context but
// the request it sends, the reply it receives and, for a successful read, the
// registers it read. MODBUS_CONTEXT is a global, so AddressSanitizer's
// redzones catch any write past its end.
//
// Input: a count N (1 to 16), N operation bytes, then the reply stream in
// the layout of net_fuzz.h.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "marvok.h"
#include "modbus.h"
#include "net_fuzz.h"

namespace {

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "client_fuzz: %s\n", what);
        std::abort();
    }
}

// Register counts, addresses, words and delays: the edges of the register
// table, of 16-bit words and of int.
constexpr int values[32] = {0,      1,      2,       3,        4,      5,      9,   10,
                            49,     50,     51,      52,       99,     100,    125, 126,
                            255,    256,    -1,      -2,       -50,    -51,    101, 0x7FFF,
                            0x8000, 0xFFFF, 0x10000, -0x8000,  1000000, -1000000,
                            std::numeric_limits<int>::max(), std::numeric_limits<int>::min()};

enum Kind { read_input, read_holding, write_single, write_multiple, export_fpm, export_f, export_bad_address };

constexpr int REPLY_HEADER = 9;
constexpr int WRITE_REPLY_LENGTH = 12;
constexpr int MEASUREMENT_REPLY_LENGTH = 13;

using Context = modbus_context_t;

// Bytes [first, first + length) of the context that an operation may change.
struct Span {
    std::size_t first, length;
};

void require_only_changed(const Context& before, const std::vector<Span>& allowed)
{
    // `before` with the allowed changes applied must be the context now.
    Context expected;
    std::memcpy(&expected, &before, sizeof expected);
    for (const Span& s : allowed)
        std::memcpy(reinterpret_cast<unsigned char*>(&expected) + s.first,
                    reinterpret_cast<const unsigned char*>(&MODBUS_CONTEXT) + s.first, s.length);
    require(std::memcmp(&expected, &MODBUS_CONTEXT, sizeof expected) == 0,
            "the context changed outside the request, the reply and the registers read");
}

bool accepted(const fuzz_net::Delivery& d, int reply_length)
{
    return d.result == reply_length && !(d.function & 0x80);
}

void run_transaction(Kind kind, int value)
{
    const bool reads = kind == read_input || kind == read_holding;
    const bool counted = reads || kind == write_multiple;
    const bool valid = !counted || (value >= 0 && value <= MODBUS_REGISTER_COUNT);
    const int count = valid && counted ? value : 0;
    const int request_length = kind == write_multiple ? 13 + 2 * count : 12;
    const int reply_length = reads ? REPLY_HEADER + 2 * count : WRITE_REPLY_LENGTH;

    Context before;
    std::memcpy(&before, &MODBUS_CONTEXT, sizeof before);
    fuzz_net::reset_activity();
    int rc = -1;
    switch (kind) {
    case read_input: rc = MODBUS_READ_INPUT_REGISTERS(1, value, value); break;
    case read_holding: rc = MODBUS_READ_HOLDING_REGISTERS(value, 4, value); break;
    case write_single: rc = MODBUS_WRITE_SINGLE_REGISTER(1, value, ~value); break;
    case write_multiple: rc = MODBUS_WRITE_MULTIPLE_REGISTERS(1, 0, value); break;
    default: return;
    }
    const fuzz_net::Activity& a = fuzz_net::activity();
    require(rc == 0 || rc == 1, "a transaction returned neither 0 nor 1");
    const std::size_t exchanges = valid ? 1 : 0;
    require(a.receives.size() == exchanges && a.sends == static_cast<int>(exchanges),
            "a transaction sends and receives once, or not at all for a bad count");
    require(rc == (valid && accepted(a.receives[0], reply_length) ? 0 : 1),
            "a reply was not judged by its length and the top bit of its function code");

    std::vector<Span> allowed;
    if (valid) {
        require(a.sent.size() == static_cast<std::size_t>(request_length), "request of the wrong length");
        require(std::memcmp(a.sent.data(), MODBUS_CONTEXT.request_frame, a.sent.size()) == 0,
                "what was sent is not request_frame");
        require(a.sent[4] == 0 && a.sent[5] == request_length - 6, "length field does not match the request");
        allowed.push_back({offsetof(Context, request_frame), static_cast<std::size_t>(request_length)});
        if (a.receives[0].result > 0)
            allowed.push_back({offsetof(Context, reply_frame), static_cast<std::size_t>(a.receives[0].result)});
    }
    if (reads && rc == 0) {
        allowed.push_back({offsetof(Context, registers), 2 * static_cast<std::size_t>(count)});
        const unsigned char* data = MODBUS_CONTEXT.reply_frame + REPLY_HEADER;
        for (int i = 0; i < count; ++i) {
            const auto word = static_cast<std::int16_t>(data[2 * i] << 8 | data[2 * i + 1]);
            require(MODBUS_CONTEXT.registers[i] == word, "a register was decoded wrongly");
        }
    }
    require_only_changed(before, allowed);
}

// The single a measurement reply carries, low-order word first.
double measurement(const unsigned char* reply)
{
    const std::uint32_t bits = std::uint32_t{reply[10]} | std::uint32_t{reply[9]} << 8 |
                               std::uint32_t{reply[12]} << 16 | std::uint32_t{reply[11]} << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The measurement exports bracket a connection of their own.
void run_export(Kind kind, int value)
{
    fuzz_net::reset_activity();
    const fuzz_net::Activity& a = fuzz_net::activity();
    const auto delay = static_cast<short>(value);
    if (kind == export_bad_address) {
        // Below 0 or above 255, as the value's low bits choose.
        const auto part = static_cast<short>(value & 1 ? -1 - (value >> 1 & 0x7FFF) : 256 + (value >> 1 & 0x3FFF));
        const double result = MARVOK_MODBUS_READ_F(127, part, 0, 1, delay);
        require(result == MARVOK_RESULT_NO_CONNECTION && a.sends == 0 && a.startups == 0,
                "a bad address is refused before anything starts");
        return;
    }
    const bool fpm = kind == export_fpm;
    const double result = fpm ? MARVOK_MODBUS_READ_FPM(127, 0, 0, 1, delay) : MARVOK_MODBUS_READ_F(127, 0, 0, 1, delay);
    require(a.startups == 1 && a.cleanups == 1, "one start and one stop per call");
    require(a.sent.size() == 12 && a.sent[7] == 4 && a.sent[9] == (fpm ? 0 : 4) && a.sent[11] == 2,
            "the measurement request");
    const bool first = accepted(a.receives.at(0), MEASUREMENT_REPLY_LENGTH);
    require(a.receives.size() == (first ? 1u : 2u), "exactly one retry follows a failed exchange");
    if (accepted(a.receives.back(), MEASUREMENT_REPLY_LENGTH)) {
        const double expected = measurement(MODBUS_CONTEXT.reply_frame);
        require(std::memcmp(&result, &expected, sizeof result) == 0, "the value is not the reply's");
    } else {
        require(result == MARVOK_RESULT_NO_REPLY, "two failed exchanges give no reply");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::size_t operations = 1 + data[0] % 16;
    if (size < 1 + operations)
        return 0;
    fuzz_net::Stream stream(data + 1 + operations, size - 1 - operations);
    fuzz_net::use(&stream);
    const net_counters start = net_get_counters();

    require(MODBUS_OPEN(127, 0, 0, 1) == 0, "open over the fuzzing sockets");
    for (std::size_t i = 0; i < operations; ++i) {
        const std::uint8_t op = data[1 + i];
        const auto kind = static_cast<Kind>(op % 7);
        const int value = values[(op / 7) % 32];
        if (kind < export_fpm) {
            run_transaction(kind, value);
        } else {
            MODBUS_CLOSE();
            run_export(kind, value);
            require(MODBUS_OPEN(127, 0, 0, 1) == 0, "open over the fuzzing sockets");
        }
    }
    MODBUS_CLOSE();
    const net_counters end = net_get_counters();
    require(fuzz_net::sockets_open() == 0, "a socket was left open");
    require(end.startups - start.startups == end.cleanups - start.cleanups, "starts and stops balance");
    fuzz_net::use(nullptr);
    return 0;
}
