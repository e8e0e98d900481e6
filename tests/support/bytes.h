// Frames written the way the protocol documents write them: "00 06 01 04".
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace marvok::test {

inline std::vector<std::uint8_t> hex(const std::string& text)
{
    std::vector<std::uint8_t> bytes;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
    return bytes;
}

inline std::string to_hex(const std::uint8_t* data, std::size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (i)
            text += ' ';
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

inline std::string to_hex(const std::vector<std::uint8_t>& bytes)
{
    return to_hex(bytes.data(), bytes.size());
}

}  // namespace marvok::test
