// The transactions of the client and the exchange cycle they share: wait
// until writable, build and send the request, wait until readable, receive
// once, check. A failed transaction leaves the connection open.
#include "modbus.h"

namespace {

constexpr long READ_TIMEOUT_S = 4;
constexpr long WRITE_SINGLE_TIMEOUT_S = 4;
constexpr long WRITE_MULTIPLE_TIMEOUT_S = 5;
constexpr int FC_READ_HOLDING_REGISTERS = 3;
constexpr int FC_READ_INPUT_REGISTERS = 4;
constexpr int FC_WRITE_SINGLE_REGISTER = 6;
constexpr int FC_WRITE_MULTIPLE_REGISTERS = 16;
constexpr int WRITE_REPLY_LENGTH = 12;    // header, function code, echoed address and word
constexpr int HEADER_AND_WORDS = 12;  // MBAP header, function code, two 16-bit words
constexpr int REPLY_HEADER = 9;       // MBAP header, function code, byte count
constexpr int NO_VALUES = -1;
constexpr int SELECT_NFDS = 32;

bool is_register_count(int count) { return count >= 0 && count <= MODBUS_REGISTER_COUNT; }

unsigned char high_byte(int word) { return static_cast<unsigned char>((word >> 8) & 0xFF); }
unsigned char low_byte(int word) { return static_cast<unsigned char>(word & 0xFF); }

// Lays out the request in request_frame: the header with transaction and
// protocol identifiers 0, the unit, the function code, two 16-bit words and,
// when `values` is not NO_VALUES, a byte count and registers[0..values-1].
// Returns its length.
int build_request(int unit, int function, int word1, int word2, int values)
{
    unsigned char* frame = MODBUS_CONTEXT.request_frame;
    int length = HEADER_AND_WORDS;
    if (values != NO_VALUES) {
        frame[12] = low_byte(2 * values);
        for (int i = 0; i < values; ++i) {
            frame[13 + 2 * i] = high_byte(MODBUS_CONTEXT.registers[i]);
            frame[14 + 2 * i] = low_byte(MODBUS_CONTEXT.registers[i]);
        }
        length += 1 + 2 * values;
    }
    frame[0] = frame[1] = frame[2] = frame[3] = frame[4] = 0;
    frame[5] = low_byte(length - 6);
    frame[6] = low_byte(unit);
    frame[7] = low_byte(function);
    frame[8] = high_byte(word1);
    frame[9] = low_byte(word1);
    frame[10] = high_byte(word2);
    frame[11] = low_byte(word2);
    return length;
}

// One request and its reply. The reply passes when one receive delivers
// exactly reply_length bytes and the function code has its top bit clear;
// nothing else in it is compared with the request.
int exchange(int unit, int function, int word1, int word2, int values, long timeout_s,
             int reply_length)
{
    modbus_context_t& ctx = MODBUS_CONTEXT;
    net_fd_set fds;
    net_timeval tv;

    net_fd_zero(&fds);
    net_fd_set_add(ctx.sock, &fds);
    tv.tv_sec = timeout_s;
    tv.tv_usec = 0;
    if (net_select(SELECT_NFDS, nullptr, &fds, nullptr, &tv) <= 0)
        return 1;

    const int request_length = build_request(unit, function, word1, word2, values);
    if (net_send(ctx.sock, ctx.request_frame, request_length, 0) < request_length)
        return 1;

    net_fd_set_add(ctx.sock, &fds);
    if (net_select(SELECT_NFDS, &fds, nullptr, nullptr, &tv) <= 0)
        return 1;

    const int received = net_recv(ctx.sock, ctx.reply_frame, MODBUS_FRAME_SIZE, 0);
    if (received < reply_length)
        return 1;
    if (ctx.reply_frame[7] & 0x80)
        return 1;  // exception reply
    if (received != reply_length)
        return 1;
    return 0;
}

int read_registers(int function, int unit, int first, int count)
{
    // Outside 0 to 50 the values would not fit registers[].
    if (!is_register_count(count))
        return 1;
    if (exchange(unit, function, first, count, NO_VALUES, READ_TIMEOUT_S,
                 REPLY_HEADER + 2 * count) != 0)
        return 1;
    const unsigned char* data = MODBUS_CONTEXT.reply_frame + REPLY_HEADER;
    for (int i = 0; i < count; ++i)
        MODBUS_CONTEXT.registers[i] = static_cast<std::int16_t>(data[2 * i] * 256 + data[2 * i + 1]);
    return 0;
}

}  // namespace

int MODBUS_READ_INPUT_REGISTERS(int unit, int first, int count)
{
    return read_registers(FC_READ_INPUT_REGISTERS, unit, first, count);
}

int MODBUS_READ_HOLDING_REGISTERS(int unit, int first, int count)
{
    return read_registers(FC_READ_HOLDING_REGISTERS, unit, first, count);
}

int MODBUS_WRITE_SINGLE_REGISTER(int unit, int address, int value)
{
    return exchange(unit, FC_WRITE_SINGLE_REGISTER, address, value, NO_VALUES,
                    WRITE_SINGLE_TIMEOUT_S, WRITE_REPLY_LENGTH);
}

int MODBUS_WRITE_MULTIPLE_REGISTERS(int unit, int first, int count)
{
    // Outside 0 to 50 the values would be taken from beyond registers[].
    if (!is_register_count(count))
        return 1;
    return exchange(unit, FC_WRITE_MULTIPLE_REGISTERS, first, count, count,
                    WRITE_MULTIPLE_TIMEOUT_S, WRITE_REPLY_LENGTH);
}
