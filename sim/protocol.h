// Modbus/TCP framing and the register tables the simulated instrument serves.
// Pure functions over bytes, with no I/O, so the server only moves frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace marvok::sim::protocol {

inline constexpr std::size_t header_size = 7;     // MBAP: transaction, protocol, length, unit
inline constexpr std::size_t max_frame_size = 260;  // header + the largest PDU (253 bytes)
inline constexpr std::size_t input_register_count = 10;
inline constexpr std::size_t holding_register_count = 100;

enum Exception : std::uint8_t {
    illegal_function = 0x01,
    illegal_data_address = 0x02,
    illegal_data_value = 0x03,
    server_device_failure = 0x04,
};

struct Registers {
    std::array<std::uint16_t, input_register_count> input{};
    std::array<std::uint16_t, holding_register_count> holding{};
};

// Stores a float in two registers, low-order 16 bits first, as the instrument
// does for its measurements.
void store_float(Registers& registers, std::size_t first, float value);

// The number of bytes of the whole frame whose header is given, or nothing
// when the header cannot start a frame (protocol id other than 0, or a length
// field outside 2..254); such a connection is dropped, since nothing after it
// can be trusted to be framed.
std::optional<std::size_t> frame_size(std::span<const std::uint8_t, header_size> header);

// Room for any reply.
using Reply = std::array<std::uint8_t, max_frame_size>;

// The reply to one complete, well-framed request; writes change `registers`.
// The first form writes it into `out` and returns its size; the server uses
// it, so that a request costs no allocation.
std::size_t respond(Registers& registers, std::span<const std::uint8_t> frame, Reply& out);
std::vector<std::uint8_t> respond(Registers& registers, std::span<const std::uint8_t> frame);

// An exception reply to `frame` with the given code.
std::size_t exception_reply(std::span<const std::uint8_t> frame, std::uint8_t code, Reply& out);
std::vector<std::uint8_t> exception_reply(std::span<const std::uint8_t> frame, std::uint8_t code);

}  // namespace marvok::sim::protocol
