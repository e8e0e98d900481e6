#include "protocol.h"

#include <bit>

namespace marvok::sim::protocol {

namespace {

std::uint16_t get16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// The header of a reply carrying `pdu_size` bytes of PDU; the unit id and the
// ids of the request are echoed.
std::vector<std::uint8_t> reply_header(std::span<const std::uint8_t> frame, std::size_t pdu_size)
{
    std::vector<std::uint8_t> out;
    out.reserve(header_size + pdu_size);
    out.insert(out.end(), frame.begin(), frame.begin() + 4);
    put16(out, static_cast<std::uint16_t>(pdu_size + 1));
    out.push_back(frame[6]);
    return out;
}

template <std::size_t N>
std::vector<std::uint8_t> read_registers(std::span<const std::uint8_t> frame,
                                         const std::array<std::uint16_t, N>& table)
{
    const auto pdu = frame.subspan(header_size);
    if (pdu.size() != 5)
        return exception_reply(frame, illegal_data_value);
    const std::size_t address = get16(pdu, 1), count = get16(pdu, 3);
    if (count < 1 || count > 125)
        return exception_reply(frame, illegal_data_value);
    if (address + count > N)
        return exception_reply(frame, illegal_data_address);
    auto out = reply_header(frame, 2 + 2 * count);
    out.push_back(pdu[0]);
    out.push_back(static_cast<std::uint8_t>(2 * count));
    for (std::size_t i = 0; i < count; ++i)
        put16(out, table[address + i]);
    return out;
}

std::vector<std::uint8_t> write_single(std::span<const std::uint8_t> frame, Registers& registers)
{
    const auto pdu = frame.subspan(header_size);
    if (pdu.size() != 5)
        return exception_reply(frame, illegal_data_value);
    const std::size_t address = get16(pdu, 1);
    if (address >= holding_register_count)
        return exception_reply(frame, illegal_data_address);
    registers.holding[address] = get16(pdu, 3);
    auto out = reply_header(frame, pdu.size());
    out.insert(out.end(), pdu.begin(), pdu.end());
    return out;
}

std::vector<std::uint8_t> write_multiple(std::span<const std::uint8_t> frame, Registers& registers)
{
    const auto pdu = frame.subspan(header_size);
    if (pdu.size() < 6)
        return exception_reply(frame, illegal_data_value);
    const std::size_t address = get16(pdu, 1), count = get16(pdu, 3), byte_count = pdu[5];
    if (count < 1 || count > 123 || byte_count != 2 * count || pdu.size() != 6 + byte_count)
        return exception_reply(frame, illegal_data_value);
    if (address + count > holding_register_count)
        return exception_reply(frame, illegal_data_address);
    for (std::size_t i = 0; i < count; ++i)
        registers.holding[address + i] = get16(pdu, 6 + 2 * i);
    auto out = reply_header(frame, 5);
    out.insert(out.end(), pdu.begin(), pdu.begin() + 5);
    return out;
}

}  // namespace

void store_float(Registers& registers, std::size_t first, float value)
{
    const auto bits = std::bit_cast<std::uint32_t>(value);
    registers.input.at(first) = static_cast<std::uint16_t>(bits & 0xFFFF);
    registers.input.at(first + 1) = static_cast<std::uint16_t>(bits >> 16);
}

std::optional<std::size_t> frame_size(std::span<const std::uint8_t, header_size> header)
{
    const std::size_t protocol = get16(header, 2), length = get16(header, 4);
    if (protocol != 0 || length < 2 || length > 254)
        return std::nullopt;
    return 6 + length;
}

std::vector<std::uint8_t> respond(Registers& registers, std::span<const std::uint8_t> frame)
{
    switch (frame[header_size]) {
    case 3: return read_registers(frame, registers.holding);
    case 4: return read_registers(frame, registers.input);
    case 6: return write_single(frame, registers);
    case 16: return write_multiple(frame, registers);
    default: return exception_reply(frame, illegal_function);
    }
}

std::vector<std::uint8_t> exception_reply(std::span<const std::uint8_t> frame, std::uint8_t code)
{
    auto out = reply_header(frame, 2);
    out.push_back(static_cast<std::uint8_t>(frame[header_size] | 0x80));
    out.push_back(code);
    return out;
}

}  // namespace marvok::sim::protocol
