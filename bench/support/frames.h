// The one transaction every benchmark times: a read of the two input
// registers that hold FPM (unit 1, function 4, registers 0-1), and the reply
// every server of the benchmarks gives to it. Each server is started with
// the same value, so a reply can be checked byte for byte.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace marvok::bench {

// Not a round value, so that a server answering from the wrong registers or
// with the words swapped cannot pass the check.
inline constexpr float fpm_value = 1234.5f;
inline const std::string fpm_text = "1234.5";

inline constexpr std::size_t request_size = 12;
inline constexpr std::size_t reply_size = 13;
using Request = std::array<std::uint8_t, request_size>;
using Reply = std::array<std::uint8_t, reply_size>;

// The two registers as the instrument lays out a float: the low-order word
// in the first register.
inline std::array<std::uint16_t, 2> float_registers(float value)
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return {static_cast<std::uint16_t>(bits & 0xFFFF), static_cast<std::uint16_t>(bits >> 16)};
}

inline float registers_float(std::uint16_t low, std::uint16_t high)
{
    const std::uint32_t bits = std::uint32_t{high} << 16 | low;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline Request fpm_request(std::uint16_t transaction)
{
    return {static_cast<std::uint8_t>(transaction >> 8), static_cast<std::uint8_t>(transaction), 0, 0, 0, 6,
            1, 4, 0, 0, 0, 2};
}

inline Reply fpm_reply(std::uint16_t transaction)
{
    const auto words = float_registers(fpm_value);
    return {static_cast<std::uint8_t>(transaction >> 8), static_cast<std::uint8_t>(transaction), 0, 0, 0, 7,
            1, 4, 4,
            static_cast<std::uint8_t>(words[0] >> 8), static_cast<std::uint8_t>(words[0]),
            static_cast<std::uint8_t>(words[1] >> 8), static_cast<std::uint8_t>(words[1])};
}

}  // namespace marvok::bench
