// What the simulated instrument answers: register values byte for byte, the
// register writes, exception replies and framing.
#include "instrument.h"

#include <gtest/gtest.h>

#include <thread>

namespace marvok::test {
namespace {

using namespace std::chrono_literals;
constexpr auto wait = 2000ms;

Bytes ask(RawClient& client, const Bytes& request)
{
    client.send(request);
    auto reply = client.receive_frame(wait);
    EXPECT_EQ(reply.status, RawClient::Status::data) << to_string(reply.status);
    return reply.bytes;
}

Bytes ask(Instrument& instrument, const Bytes& request)
{
    RawClient client(instrument.address().text);
    return ask(client, request);
}

TEST(SimRegisters, MeasurementsAreFloatsWithTheLowWordFirst)
{
    sim::Options options;
    options.fpm = 350.0f;  // 0x43AF0000
    options.f = 100.0f;    // 0x42C80000
    Instrument instrument(options);
    RawClient client(instrument.address().text);

    // F alone, as the library asks for it: 9 + 2*2 bytes, data 00 00 42 C8.
    EXPECT_EQ(ask(client, read_request(0xBEEF, 4, 4, 2)),
              (Bytes{0xBE, 0xEF, 0, 0, 0, 7, 1, 4, 4, 0x00, 0x00, 0x42, 0xC8}));

    // The whole table, with values changed while serving.
    instrument.sim().set_fpm(-1.5f);  // 0xBFC00000
    instrument.sim().set_f(0.0f);
    instrument.sim().set_input_register(9, 0xABCD);
    EXPECT_EQ(ask(client, read_request(2, 4, 0, 10)),
              (Bytes{0, 2, 0, 0, 0, 23, 1, 4, 20,
                     0x00, 0x00, 0xBF, 0xC0, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0xAB, 0xCD}));
}

TEST(SimRegisters, RepliesEchoTransactionAndUnit)
{
    Instrument instrument;
    RawClient client(instrument.address().text);
    const struct {
        std::uint16_t transaction;
        std::uint8_t unit;
    } cases[] = {
        {0x0000, 1},    // the smallest transaction id
        {0xFFFF, 1},    // the largest: no sign or width trouble
        {0x0102, 0},    // unit 0 is answered, not treated as broadcast
        {0x0304, 255},  // any unit id is echoed
    };
    for (const auto& c : cases) {
        const auto reply = ask(client, read_request(c.transaction, 4, 0, 1, c.unit));
        ASSERT_EQ(reply.size(), 11u);
        EXPECT_EQ(reply[0] << 8 | reply[1], c.transaction);
        EXPECT_EQ(reply[6], c.unit);
        // An exception keeps the ids as well.
        const auto error = ask(client, modbus_frame(c.transaction, c.unit, {0x2B}));
        ASSERT_EQ(error.size(), 9u);
        EXPECT_EQ(error[0] << 8 | error[1], c.transaction);
        EXPECT_EQ(error[6], c.unit);
    }
}

TEST(SimRegisters, HoldingRegistersRoundTrip)
{
    Instrument instrument;
    RawClient client(instrument.address().text);

    // Write single: the reply echoes address and value, 12 bytes.
    const auto write_single = modbus_frame(1, 1, {6, 0, 7, 0xBE, 0xEF});
    EXPECT_EQ(ask(client, write_single), write_single);
    EXPECT_EQ(instrument.sim().holding_register(7), 0xBEEF);

    // Write multiple at the very end of the table: the reply echoes address and count.
    EXPECT_EQ(ask(client, modbus_frame(2, 1, {16, 0, 98, 0, 2, 4, 0x12, 0x34, 0x56, 0x78})),
              (Bytes{0, 2, 0, 0, 0, 6, 1, 16, 0, 98, 0, 2}));
    EXPECT_EQ(instrument.sim().holding_register(98), 0x1234);
    EXPECT_EQ(instrument.sim().holding_register(99), 0x5678);

    EXPECT_EQ(ask(client, read_request(3, 3, 97, 3)),
              (Bytes{0, 3, 0, 0, 0, 9, 1, 3, 6, 0, 0, 0x12, 0x34, 0x56, 0x78}));

    // The whole table in one write and one read: the largest replies there are.
    Bytes pdu{16, 0, 0, 0, 100, 200};
    for (int i = 0; i < 100; ++i) {
        pdu.push_back(static_cast<std::uint8_t>(i));
        pdu.push_back(static_cast<std::uint8_t>(0xFF - i));
    }
    EXPECT_EQ(ask(client, modbus_frame(4, 1, pdu)), (Bytes{0, 4, 0, 0, 0, 6, 1, 16, 0, 0, 0, 100}));
    const auto all = ask(client, read_request(5, 3, 0, 100));
    ASSERT_EQ(all.size(), 9u + 200u);
    EXPECT_TRUE(std::equal(all.begin() + 9, all.end(), pdu.begin() + 6));
    EXPECT_EQ(instrument.sim().holding_register(42), 42 << 8 | (0xFF - 42));

    // Holding and input registers are separate tables.
    EXPECT_EQ(ask(client, read_request(6, 4, 7, 1)), (Bytes{0, 6, 0, 0, 0, 5, 1, 4, 2, 0, 0}));
}

TEST(SimRegisters, ExceptionReplies)
{
    Instrument instrument;
    RawClient client(instrument.address().text);
    const struct {
        Bytes pdu;
        std::uint8_t code;
        const char* why;
    } cases[] = {
        {{0x2B, 0, 0}, 1, "an unknown function code"},
        {{0x05, 0, 0, 0xFF, 0}, 1, "a known but unserved function (write coil)"},
        {{0x84, 0, 0, 0, 1}, 1, "a function code with the exception bit set"},
        {{4, 0, 9, 0, 2}, 2, "an input read that runs past the 10-register table"},
        {{4, 0, 10, 0, 1}, 2, "an input read that starts past the table"},
        {{4, 0xFF, 0xFF, 0, 2}, 2, "the highest address: the range end must not wrap"},
        {{3, 0, 0, 0, 125}, 2, "the largest legal count is still bound by the 100-register table"},
        {{3, 0, 99, 0, 2}, 2, "a holding read that runs past the table"},
        {{6, 0, 100, 0, 1}, 2, "a single write past the table"},
        {{16, 0, 99, 0, 2, 4, 0, 1, 0, 2}, 2, "a multiple write that runs past the table"},
        {{4, 0, 0, 0, 0}, 3, "a read of zero registers"},
        {{3, 0, 0, 0, 126}, 3, "a read of more than 125 registers"},
        {{4}, 3, "the smallest frame: a function code and nothing else"},
        {{4, 0, 0, 0}, 3, "a read PDU one byte short"},
        {{4, 0, 0, 0, 1, 0}, 3, "a read PDU one byte long"},
        {{6, 0, 1, 0}, 3, "a single write one byte short"},
        {{16, 0, 0, 0, 0, 0}, 3, "a multiple write of zero registers"},
        {{16, 0, 0, 0, 124, 248}, 3, "a multiple write of more than 123 registers"},
        {{16, 0, 0, 0, 2, 3, 0, 1, 0}, 3, "a byte count that is not twice the count"},
        {{16, 0, 0, 0, 1, 2, 0, 1, 0}, 3, "a multiple write with a byte too many"},
        {{16, 0, 0, 0, 2, 4, 0, 1, 0}, 3, "a multiple write with a byte too few"},
        {{16, 0, 0, 0, 1}, 3, "a multiple write without byte count"},
    };
    std::uint16_t transaction = 0x100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        ++transaction;
        const auto reply = ask(client, modbus_frame(transaction, 1, c.pdu));
        EXPECT_EQ(reply, (Bytes{static_cast<std::uint8_t>(transaction >> 8), static_cast<std::uint8_t>(transaction),
                                0, 0, 0, 3, 1, static_cast<std::uint8_t>(c.pdu[0] | 0x80), c.code}));
    }
    // Refused writes change nothing.
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(instrument.sim().holding_register(i), 0) << i;
}

TEST(SimFraming, UnparsableHeaderDropsTheConnection)
{
    Instrument instrument;
    const struct {
        Bytes frame;
        const char* why;
    } cases[] = {
        {{0, 1, 0, 1, 0, 6, 1, 4, 0, 0, 0, 2}, "protocol id 1"},
        {{0, 1, 0x80, 0, 0, 6, 1, 4, 0, 0, 0, 2}, "protocol id with the top bit set"},
        {{0, 1, 0, 0, 0, 0, 1}, "length 0"},
        {{0, 1, 0, 0, 0, 1, 1}, "length 1: a unit id but no function code"},
        {{0, 1, 0, 0, 0, 255, 1, 4}, "length 255: more than the largest PDU"},
        {{0, 1, 0, 0, 0xFF, 0xFF, 1, 4}, "length 65535: nothing is buffered for it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        RawClient client(instrument.address().text);
        client.send(c.frame);
        const auto seen = client.receive_some(wait);
        // Bytes the device never read make the kernel answer the close with a reset.
        EXPECT_TRUE(seen.status == RawClient::Status::eof || seen.status == RawClient::Status::reset)
            << to_string(seen.status);
        EXPECT_TRUE(seen.bytes.empty());
    }
    EXPECT_TRUE(instrument.sim().requests().empty());
    // The instrument itself carries on.
    EXPECT_EQ(ask(instrument, read_request(9, 4, 0, 1)).size(), 11u);
}

TEST(SimFraming, FrameArrivingInPiecesIsAnswered)
{
    Instrument instrument;
    RawClient client(instrument.address().text);
    const auto request = read_request(7, 4, 4, 2);
    for (std::size_t i = 0; i < request.size(); ++i) {
        client.send(Bytes{request[i]});
        // Nothing is answered before the frame is whole.
        if (i + 1 < request.size()) {
            ASSERT_EQ(client.receive_some(5ms).status, RawClient::Status::timeout) << i;
        }
    }
    const auto reply = client.receive_frame(wait);
    EXPECT_EQ(reply.status, RawClient::Status::data);
    EXPECT_EQ(reply.bytes.size(), 13u);
    ASSERT_EQ(instrument.sim().requests().size(), 1u);
    EXPECT_EQ(instrument.sim().requests()[0].frame, request);
}

TEST(SimFraming, RequestsInOneWriteAreAnsweredInOrder)
{
    Instrument instrument;
    RawClient client(instrument.address().text);
    // A write then a read of the same register: the read must see the write.
    Bytes batch = modbus_frame(1, 1, {6, 0, 3, 0x0A, 0x0B});
    const auto read = read_request(2, 3, 3, 1);
    const auto input = read_request(3, 4, 4, 2);
    batch.insert(batch.end(), read.begin(), read.end());
    batch.insert(batch.end(), input.begin(), input.end());
    client.send(batch);

    EXPECT_EQ(client.receive_frame(wait).bytes, (Bytes{0, 1, 0, 0, 0, 6, 1, 6, 0, 3, 0x0A, 0x0B}));
    EXPECT_EQ(client.receive_frame(wait).bytes, (Bytes{0, 2, 0, 0, 0, 5, 1, 3, 2, 0x0A, 0x0B}));
    EXPECT_EQ(client.receive_frame(wait).bytes, (Bytes{0, 3, 0, 0, 0, 7, 1, 4, 4, 0, 0, 0x42, 0x48}));
    EXPECT_EQ(client.receive_some(50ms).status, RawClient::Status::timeout);
}

}  // namespace
}  // namespace marvok::test
