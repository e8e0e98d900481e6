// The simulated instrument: a Modbus/TCP server that serves the FPM and F
// measurements as input registers and a table of holding registers, and
// misbehaves on demand (a fault for every request, or a script of what to do
// with each request in turn). Used by the marvok-sim program and in-process
// by tests; every member is safe to call while the server runs.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marvok::sim {

enum class FaultMode { none, silent, close, reset, exception, late, split };

struct Fault {
    FaultMode mode = FaultMode::none;
    bool first_only = false;  // only the first request on each connection
    int ms = 0;               // late: the delay; split: the pause (0: 50 ms)
};

// Parses "none", "silent", "close", "reset", "exception", "late:MS", "split",
// "split:MS", and the "first-" form of each mode but none; MS is 0..3600000.
std::optional<Fault> parse_fault(std::string_view text);

// What the simulator does with one request; a script is a list of these.
//   serve      answer normally
//   silent     never answer; the connection stays open and is read on
//   close      close the connection instead of answering
//   reset      abort the connection (the peer sees a reset)
//   exception  answer with exception 04 (server device failure)
//   late       answer normally after `ms` milliseconds
//   split      answer normally in two writes: the 7-byte header, then after
//              `ms` milliseconds (0: 50 ms) the rest
//   raw        answer with exactly `bytes`, in one write
// Only served requests (serve, late, split) change holding registers.
struct Step {
    enum class Kind { serve, silent, close, reset, exception, late, split, raw } kind = Kind::serve;
    int ms = 0;
    std::vector<std::uint8_t> bytes;
};

struct Options {
    std::vector<std::string> listen{"127.0.0.1"};  // numeric IPv4 or IPv6 addresses
    std::uint16_t port = 502;                       // 0: any free port (see endpoints())
    float fpm = 350.0f, f = 50.0f;
    Fault fault{};
    // Keep every request for requests(); a long-running standalone simulator
    // turns this off so that memory does not grow with each request.
    bool log_requests = true;
};

struct Request {
    int connection;                   // 1 for the first accepted connection, and so on
    std::vector<std::uint8_t> frame;  // the whole frame, header included
    std::chrono::steady_clock::time_point at;
};

class Simulator {
public:
    explicit Simulator(Options options);
    ~Simulator();  // stops and joins
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Binds and listens on every address; does nothing when already open.
    // Throws std::system_error carrying the socket error (address_in_use,
    // address_not_available, invalid_argument for an address that is not
    // numeric, ...) with a message naming ADDR:PORT; nothing stays bound then.
    // Throws std::logic_error once stopped.
    void open();
    // Serves on a background thread (opening first if needed).
    void start();
    // Serves on this thread until stop() (opening first if needed).
    // Both throw std::logic_error when already serving, and do nothing once
    // stopped.
    void run();
    // Stops serving, closes the listeners and every connection, and waits for
    // the serving thread unless called from it. Final: a stopped simulator
    // does not serve again. Thread-safe and idempotent.
    void stop();

    // "ADDR:PORT" of each listener once open ("[ADDR]:PORT" for IPv6), with
    // the port actually bound; empty before open().
    std::vector<std::string> endpoints() const;

    void set_fpm(float value);  // input registers 0-1
    void set_f(float value);    // input registers 4-5
    // Throw std::out_of_range for an index outside the table (10 input
    // registers, 100 holding registers).
    void set_input_register(int index, std::uint16_t value);
    std::uint16_t holding_register(int index) const;

    // Requests are taken in arrival order, across connections: the n-th
    // request gets the n-th step; once the script is used up, the fault option
    // applies, then normal serving. Setting a script replaces the rest of the
    // old one. A frame that cannot be parsed (which drops the connection)
    // takes no step.
    void script(std::vector<Step> steps);
    // Every complete request frame received, in order.
    std::vector<Request> requests() const;
    int connections_accepted() const;
    int connections_open() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace marvok::sim
