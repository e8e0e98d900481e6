// Fuzzes the simulator's request handling where it is pure: the input is
// what a client sends on one connection, cut into frames as the server does
// (frame_size on each header, then the whole frame to respond). Each reply
// must be what a Modbus/TCP device gives: the header echoed with a true
// length, the data asked for, or the exception the request earns (01 for an
// unknown function, 03 for a bad count or a byte count that lies, 02 for
// registers outside the table), and writes must change exactly the
// registers they name. Both forms of respond() must agree.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "protocol.h"

namespace {

namespace protocol = marvok::sim::protocol;
using Bytes = std::vector<std::uint8_t>;

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "sim_protocol_fuzz: %s\n", what);
        std::abort();
    }
}

unsigned word(std::span<const std::uint8_t> bytes, std::size_t at) { return bytes[at] << 8 | bytes[at + 1]; }

void put16(Bytes& out, unsigned value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

// The reply a device gives, built from the request's fields; writes go to
// `model`.
Bytes expected_reply(protocol::Registers& model, std::span<const std::uint8_t> frame)
{
    const auto pdu = frame.subspan(protocol::header_size);
    const std::uint8_t function = pdu[0];
    Bytes body;  // the PDU after the function code
    auto exception = [&](std::uint8_t code) {
        body = {code};
        return static_cast<std::uint8_t>(function | 0x80);
    };
    auto answer = [&]() -> std::uint8_t {
        if (function == 3 || function == 4) {
            const auto table = function == 3 ? std::span<const std::uint16_t>(model.holding)
                                             : std::span<const std::uint16_t>(model.input);
            if (pdu.size() != 5)
                return exception(protocol::illegal_data_value);
            const unsigned first = word(pdu, 1), count = word(pdu, 3);
            if (count == 0 || count > 125)
                return exception(protocol::illegal_data_value);
            if (first + count > table.size())
                return exception(protocol::illegal_data_address);
            body.push_back(static_cast<std::uint8_t>(2 * count));
            for (unsigned i = 0; i < count; ++i)
                put16(body, table[first + i]);
            return function;
        }
        if (function == 6) {
            if (pdu.size() != 5)
                return exception(protocol::illegal_data_value);
            if (word(pdu, 1) >= model.holding.size())
                return exception(protocol::illegal_data_address);
            model.holding[word(pdu, 1)] = static_cast<std::uint16_t>(word(pdu, 3));
            body.assign(pdu.begin() + 1, pdu.end());
            return function;
        }
        if (function == 16) {
            if (pdu.size() < 6)
                return exception(protocol::illegal_data_value);
            const unsigned first = word(pdu, 1), count = word(pdu, 3), byte_count = pdu[5];
            if (count == 0 || count > 123 || byte_count != 2 * count || pdu.size() != 6 + byte_count)
                return exception(protocol::illegal_data_value);
            if (first + count > model.holding.size())
                return exception(protocol::illegal_data_address);
            for (unsigned i = 0; i < count; ++i)
                model.holding[first + i] = static_cast<std::uint16_t>(word(pdu, 6 + 2 * i));
            body.assign(pdu.begin() + 1, pdu.begin() + 5);
            return function;
        }
        return exception(protocol::illegal_function);
    };
    const std::uint8_t reply_function = answer();
    Bytes reply(frame.begin(), frame.begin() + 4);
    put16(reply, static_cast<unsigned>(body.size() + 2));
    reply.push_back(frame[6]);
    reply.push_back(reply_function);
    reply.insert(reply.end(), body.begin(), body.end());
    return reply;
}

bool same(const protocol::Registers& a, const protocol::Registers& b)
{
    return a.input == b.input && a.holding == b.holding;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    protocol::Registers registers;
    for (std::size_t i = 0; i < registers.input.size(); ++i)
        registers.input[i] = static_cast<std::uint16_t>(0xA000 + i);
    for (std::size_t i = 0; i < registers.holding.size(); ++i)
        registers.holding[i] = static_cast<std::uint16_t>(0x5000 + 3 * i);
    protocol::Registers model = registers;

    std::span<const std::uint8_t> stream(data, size);
    while (stream.size() >= protocol::header_size) {
        const auto header = stream.first<protocol::header_size>();
        const auto frame_size = protocol::frame_size(header);
        const unsigned length = word(header, 4);
        const bool frames = word(header, 2) == 0 && length >= 2 && length <= 254;
        require(frame_size.has_value() == frames, "a header was framed against the protocol id and length rules");
        if (!frame_size)
            return 0;  // the server drops the connection
        require(*frame_size == 6 + length && *frame_size <= protocol::max_frame_size, "frame size");
        if (stream.size() < *frame_size)
            return 0;  // a cut frame: the server waits for the rest
        const auto frame = stream.first(*frame_size);

        protocol::Registers copy = registers;
        const Bytes reply = protocol::respond(registers, frame);
        protocol::Reply out;
        const std::size_t out_size = protocol::respond(copy, frame, out);
        require(reply.size() <= protocol::max_frame_size, "a reply longer than a frame");
        require(out_size == reply.size() && Bytes(out.begin(), out.begin() + out_size) == reply,
                "the allocation-free respond() disagrees");
        require(reply == expected_reply(model, frame), "the reply is not the device's");
        require(same(registers, model) && same(copy, model), "registers changed other than the request says");
        stream = stream.subspan(*frame_size);
    }
    return 0;
}
