// The simulated instruments: a Modbus/TCP server that serves, on each of its
// addresses, an instrument of its own (the FPM and F measurements as input
// registers, a table of holding registers) which misbehaves on demand (a
// fault for every request or by chance, or a script of what to do with each
// request in turn). Used by the marvok-sim program and in-process by tests;
// every member is safe to call while the server runs.
#pragma once

#include "measurement.h"

#include <chrono>
#include <cstdint>
#include <functional>
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
    double rate = 1.0;        // the share of those requests it hits, drawn for each
};

// Parses "none", "silent", "close", "reset", "exception", "late:MS", "split",
// "split:MS", and the "first-" form of each mode but none; MS is 0..3600000.
// The rate is left at 1.
std::optional<Fault> parse_fault(std::string_view text);
std::string to_string(const Fault& fault);  // as parse_fault() reads it

// How one instrument behaves.
struct Settings {
    Measurement fpm{350.0f}, f{50.0f};
    Fault fault{};
};

struct InstrumentOptions {
    std::string address;  // numeric IPv4 or IPv6
    Settings settings;
};

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
    // An instrument on each address (numeric IPv4 or IPv6), all alike.
    std::vector<std::string> listen{"127.0.0.1"};
    std::uint16_t port = 502;  // 0: any free port (see endpoints())
    float fpm = 350.0f, f = 50.0f;
    Fault fault{};
    // Keep every request for requests(); a long-running standalone simulator
    // turns this off so that memory does not grow with each request.
    bool log_requests = true;
    // A plant: an instrument for each entry, each with settings of its own.
    // When not empty it is served instead of listen, fpm, f and fault.
    std::vector<InstrumentOptions> plant{};
    // Noise and fault rates draw from streams seeded with this, one per
    // instrument and purpose, so a run can be repeated.
    std::uint64_t seed = 0;
    // Seconds on the waveforms' time axis; by default the time since the
    // simulator was made. Called on the serving thread.
    std::function<double()> clock{};
};

struct Stats {
    std::size_t instruments = 0;
    int connections_open = 0;
    std::uint64_t connections_accepted = 0;
    std::uint64_t requests = 0;  // complete requests taken, answered or not
    std::uint64_t faults = 0;    // of them, those that met a fault or a script step other than serve
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

    // The set points of every instrument: input registers 0-1 and 4-5 (a
    // moving measurement moves around its new set point).
    void set_fpm(float value);
    void set_f(float value);
    // Throw std::out_of_range for an index outside the table (10 input
    // registers, 100 holding registers). The input register is set on every
    // instrument (until a moving measurement's next reading covers it); the
    // holding register is the first instrument's.
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
    Stats stats() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace marvok::sim
