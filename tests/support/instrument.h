// An in-process simulated instrument on a loopback address of its own, and a
// raw Modbus/TCP client with bounded waits to talk to it byte by byte.
#pragma once

#include "loopback.h"
#include "sim/simulator.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace marvok::test {

class Instrument {
public:
    // Serves on a fresh random loopback address (options.listen is ignored)
    // at options.port, in the background until destroyed.
    explicit Instrument(sim::Options options = {});
    const Loopback& address() const { return address_; }
    sim::Simulator& sim() { return *sim_; }

private:
    Loopback address_;
    std::unique_ptr<sim::Simulator> sim_;
};

using Bytes = std::vector<std::uint8_t>;

// A Modbus/TCP frame: header (protocol id 0, length from the PDU) + PDU.
Bytes modbus_frame(std::uint16_t transaction, std::uint8_t unit, const Bytes& pdu);
// A request for `count` registers from `address` with function 3 or 4.
Bytes read_request(std::uint16_t transaction, std::uint8_t function, std::uint16_t address,
                   std::uint16_t count, std::uint8_t unit = 1);

// A blocking TCP client; every receive waits at most the time given.
class RawClient {
public:
    enum class Status { data, timeout, eof, reset, error };
    struct Received {
        Status status = Status::timeout;  // how the receive ended
        Bytes bytes;                      // what came before that
        int error = 0;                    // errno for Status::error
        // When the kernel received the last bytes read: bytes of one TCP
        // segment share it, so two pieces sent apart show their gap here
        // however late this thread got to read them.
        std::chrono::nanoseconds arrived{};
    };

    // Throws std::runtime_error when the connection cannot be made.
    explicit RawClient(const std::string& address, std::uint16_t port = 502);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Sends all of `bytes`; throws std::runtime_error on failure.
    void send(std::span<const std::uint8_t> bytes);
    // What one recv() of at most `most` bytes returns, once something
    // arrives within `wait`.
    Received receive_some(std::chrono::milliseconds wait, std::size_t most = SIZE_MAX);
    // Up to `count` bytes, gathered until `wait` has passed.
    Received receive(std::size_t count, std::chrono::milliseconds wait);
    // One whole frame as its header announces it (status data when complete).
    Received receive_frame(std::chrono::milliseconds wait);
    void close();

private:
    Received receive_bytes(std::size_t count, std::chrono::milliseconds wait, bool one_recv);

    int fd_ = -1;
};

const char* to_string(RawClient::Status status);

}  // namespace marvok::test
