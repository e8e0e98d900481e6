// The Modbus/TCP client: one process-wide context record and the operations
// over it. MODBUS_OPEN connects to port 502 of an instrument, the
// transactions run one request and reply each on that connection, and
// MODBUS_CLOSE ends the exchange. Every operation returns 0 on success and
// 1 on failure. There is no lock: calls must not overlap.
#pragma once

#include <cstdint>

#include "net.h"

constexpr int MODBUS_PORT = 502;
constexpr int MODBUS_FRAME_SIZE = 261;
constexpr int MODBUS_REGISTER_COUNT = 50;

struct modbus_context_t {
    unsigned char value_bytes[4];            // the single the exports assemble, LSB first
    net_sockaddr_in peer;                    // instrument address, port 502
    char address_text[24];                   // dotted-decimal form of the address
    std::int16_t registers[MODBUS_REGISTER_COUNT];
    net_socket_t sock;                       // socket of the current exchange
    unsigned char reply_frame[MODBUS_FRAME_SIZE];
    net_startup_record wsa_data;             // filled by the socket library, unread
    unsigned char request_frame[MODBUS_FRAME_SIZE];
};

// Zero at load; every call overwrites what it needs and nothing clears it.
extern modbus_context_t MODBUS_CONTEXT;

int MODBUS_STARTUP();
int MODBUS_OPEN(std::int16_t a, std::int16_t b, std::int16_t c, std::int16_t d);
int MODBUS_CLOSE();

// Function codes 4 and 3: read `count` (0 to 50) registers from `first` into
// registers[]; reply_frame keeps the whole reply.
int MODBUS_READ_INPUT_REGISTERS(int unit, int first, int count);
int MODBUS_READ_HOLDING_REGISTERS(int unit, int first, int count);

// Function codes 6 and 16: write one register, or registers[0..count-1]
// (count 0 to 50) from `first`. Neither changes registers[]. The reply must
// be exactly 12 bytes with the function code's top bit clear.
int MODBUS_WRITE_SINGLE_REGISTER(int unit, int address, int value);
int MODBUS_WRITE_MULTIPLE_REGISTERS(int unit, int first, int count);
