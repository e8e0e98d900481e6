#include "protocol.h"

#include <bit>

namespace marvok::sim::protocol {

namespace {

std::uint16_t get16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// Appends to a reply buffer; every reply fits (see max_frame_size).
class Writer {
public:
    explicit Writer(Reply& out) : out_(out) {}
    void put8(std::uint8_t value) { out_[size_++] = value; }
    void put16(std::uint16_t value)
    {
        put8(static_cast<std::uint8_t>(value >> 8));
        put8(static_cast<std::uint8_t>(value & 0xFF));
    }
    void put(std::span<const std::uint8_t> bytes)
    {
        for (const auto byte : bytes)
            put8(byte);
    }
    std::size_t size() const { return size_; }

private:
    Reply& out_;
    std::size_t size_ = 0;
};

// Starts a reply carrying `pdu_size` bytes of PDU; the unit id and the ids of
// the request are echoed.
Writer reply_header(std::span<const std::uint8_t> frame, std::size_t pdu_size, Reply& out)
{
    Writer writer(out);
    writer.put(frame.first(4));
    writer.put16(static_cast<std::uint16_t>(pdu_size + 1));
    writer.put8(frame[6]);
    return writer;
}

template <std::size_t N>
std::size_t read_registers(std::span<const std::uint8_t> frame, const std::array<std::uint16_t, N>& table,
                           Reply& out)
{
    const auto pdu = frame.subspan(header_size);
    if (pdu.size() != 5)
        return exception_reply(frame, illegal_data_value, out);
    const std::size_t address = get16(pdu, 1), count = get16(pdu, 3);
    if (count < 1 || count > 125)
        return exception_reply(frame, illegal_data_value, out);
    if (address + count > N)
        return exception_reply(frame, illegal_data_address, out);
    auto writer = reply_header(frame, 2 + 2 * count, out);
    writer.put8(pdu[0]);
    writer.put8(static_cast<std::uint8_t>(2 * count));
    for (std::size_t i = 0; i < count; ++i)
        writer.put16(table[address + i]);
    return writer.size();
}

std::size_t write_single(std::span<const std::uint8_t> frame, Registers& registers, Reply& out)
{
    const auto pdu = frame.subspan(header_size);
    if (pdu.size() != 5)
        return exception_reply(frame, illegal_data_value, out);
    const std::size_t address = get16(pdu, 1);
    if (address >= holding_register_count)
        return exception_reply(frame, illegal_data_address, out);
    registers.holding[address] = get16(pdu, 3);
    auto writer = reply_header(frame, pdu.size(), out);
    writer.put(pdu);
    return writer.size();
}

std::size_t write_multiple(std::span<const std::uint8_t> frame, Registers& registers, Reply& out)
{
    const auto pdu = frame.subspan(header_size);
    if (pdu.size() < 6)
        return exception_reply(frame, illegal_data_value, out);
    const std::size_t address = get16(pdu, 1), count = get16(pdu, 3), byte_count = pdu[5];
    if (count < 1 || count > 123 || byte_count != 2 * count || pdu.size() != 6 + byte_count)
        return exception_reply(frame, illegal_data_value, out);
    if (address + count > holding_register_count)
        return exception_reply(frame, illegal_data_address, out);
    for (std::size_t i = 0; i < count; ++i)
        registers.holding[address + i] = get16(pdu, 6 + 2 * i);
    auto writer = reply_header(frame, 5, out);
    writer.put(pdu.first(5));
    return writer.size();
}

std::vector<std::uint8_t> as_vector(const Reply& out, std::size_t size)
{
    return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size)};
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

std::size_t respond(Registers& registers, std::span<const std::uint8_t> frame, Reply& out)
{
    switch (frame[header_size]) {
    case 3: return read_registers(frame, registers.holding, out);
    case 4: return read_registers(frame, registers.input, out);
    case 6: return write_single(frame, registers, out);
    case 16: return write_multiple(frame, registers, out);
    default: return exception_reply(frame, illegal_function, out);
    }
}

std::vector<std::uint8_t> respond(Registers& registers, std::span<const std::uint8_t> frame)
{
    Reply out;
    return as_vector(out, respond(registers, frame, out));
}

std::size_t exception_reply(std::span<const std::uint8_t> frame, std::uint8_t code, Reply& out)
{
    auto writer = reply_header(frame, 2, out);
    writer.put8(static_cast<std::uint8_t>(frame[header_size] | 0x80));
    writer.put8(code);
    return writer.size();
}

std::vector<std::uint8_t> exception_reply(std::span<const std::uint8_t> frame, std::uint8_t code)
{
    Reply out;
    return as_vector(out, exception_reply(frame, code, out));
}

}  // namespace marvok::sim::protocol
