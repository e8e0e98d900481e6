// The client against the physical limit and libmodbus, all against one
// marvok-sim process on a loopback address of its own:
//   transaction/*  one read of two input registers on an open connection
//   call/*         a whole measurement call without the pause: connect,
//                  read, close
// raw_* are a bare socket doing the same bytes (TCP_NODELAY, blocking send
// and recv); *_echo run against marvok-bench-echo instead of the simulator,
// the floor of loopback itself; */paired run the three in turn in short
// blocks and report the medians of their ratios.
#include "bench_main.h"
#include "frames.h"
#include "load.h"
#include "marvok.h"
#include "modbus.h"

#include <benchmark/benchmark.h>
#include <modbus/modbus.h>  // libmodbus; "modbus.h" is our client
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <functional>
#include <cstdio>
#include <sstream>

namespace mb = marvok::bench;

namespace {

std::array<std::int16_t, 4> address_parts(const std::string& text)
{
    std::array<std::int16_t, 4> parts{};
    std::istringstream in(text);
    char dot;
    in >> parts[0] >> dot >> parts[1] >> dot >> parts[2] >> dot >> parts[3];
    return parts;
}

// A blocking TCP socket whose connect, sends and receives give up after 5 s;
// -1 with errno when the connection failed.
int raw_connect(const sockaddr_in& target, bool no_delay)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (no_delay) {
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request and its checked reply on a blocking socket; a reply that
// stops short fails when the receive time-out runs out.
bool raw_exchange(int fd)
{
    static const auto request = mb::fpm_request(0);
    static const auto expected = mb::fpm_reply(0);
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return false;
    mb::Reply reply;
    std::size_t have = 0;
    while (have < reply.size()) {
        const ssize_t n = recv(fd, reply.data() + have, reply.size() - have, 0);
        if (n <= 0)
            return false;
        have += static_cast<std::size_t>(n);
    }
    return reply == expected;
}

bool registers_hold_fpm(const std::uint16_t* registers)
{
    return mb::registers_float(registers[0], registers[1]) == mb::fpm_value;
}

// Each way of doing the timed operation is a class: set up on construction
// (ready() says whether that worked), then run() as often as wanted, false
// on a wrong or missing reply.

class RawTransaction {
public:
    explicit RawTransaction(const std::string& address) : fd_(raw_connect(mb::endpoint(address), true)) {}
    ~RawTransaction()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ready() const { return fd_ >= 0; }
    bool run() { return raw_exchange(fd_); }

private:
    int fd_;
};

// The library's context is one static record: one of these at a time.
class MarvokTransaction {
public:
    explicit MarvokTransaction(const std::string& address)
    {
        const auto p = address_parts(address);
        open_ = MODBUS_OPEN(p[0], p[1], p[2], p[3]) == 0;
    }
    ~MarvokTransaction()
    {
        if (open_)
            MODBUS_CLOSE();
    }
    bool ready() const { return open_; }
    bool run()
    {
        return MODBUS_READ_INPUT_REGISTERS(1, 0, 2) == 0 &&
               registers_hold_fpm(reinterpret_cast<const std::uint16_t*>(MODBUS_CONTEXT.registers));
    }

private:
    bool open_ = false;
};

class Libmodbus {
public:
    explicit Libmodbus(const std::string& address) : ctx_(modbus_new_tcp(address.c_str(), 502))
    {
        if (ctx_)
            modbus_set_slave(ctx_, 1);
    }
    ~Libmodbus() { modbus_free(ctx_); }
    Libmodbus(const Libmodbus&) = delete;
    Libmodbus& operator=(const Libmodbus&) = delete;

protected:
    bool read()
    {
        std::uint16_t registers[2];
        return modbus_read_input_registers(ctx_, 0, 2, registers) == 2 && registers_hold_fpm(registers);
    }
    modbus_t* ctx_;
};

class LibmodbusTransaction : Libmodbus {
public:
    explicit LibmodbusTransaction(const std::string& address) : Libmodbus(address)
    {
        connected_ = ctx_ && modbus_connect(ctx_) == 0;
    }
    ~LibmodbusTransaction()
    {
        if (connected_)
            modbus_close(ctx_);
    }
    bool ready() const { return connected_; }
    bool run() { return read(); }

private:
    bool connected_ = false;
};

// The bytes of a measurement call, nothing else: connect, one exchange,
// close (no TCP_NODELAY: the library does not set it either).
class RawCall {
public:
    explicit RawCall(const std::string& address) : target_(mb::endpoint(address)) {}
    bool ready() const { return true; }
    bool run()
    {
        const int fd = raw_connect(target_, false);
        const bool ok = fd >= 0 && raw_exchange(fd);
        if (fd >= 0)
            close(fd);
        return ok;
    }

private:
    sockaddr_in target_;
};

class MarvokCall {
public:
    explicit MarvokCall(const std::string& address) : p_(address_parts(address)) {}
    bool ready() const { return true; }
    bool run() { return MARVOK_MODBUS_READ_FPM(p_[0], p_[1], p_[2], p_[3], 0) == mb::fpm_value; }

private:
    std::array<std::int16_t, 4> p_;
};

class LibmodbusCall : Libmodbus {
public:
    using Libmodbus::Libmodbus;
    bool ready() const { return ctx_ != nullptr; }
    bool run()
    {
        const bool ok = modbus_connect(ctx_) == 0 && read();
        modbus_close(ctx_);
        return ok;
    }
};

template <class Op>
void timed(benchmark::State& state, const std::string& address)
{
    Op op(address);
    if (!op.ready())
        return mb::fail(state, "cannot connect");
    for (auto _ : state)
        if (!op.run()) {
            mb::fail(state, "wrong or no reply");
            break;
        }
}

// The raw socket, marvok and libmodbus in turn, a short block each, round by
// round; the ratios are the medians of the rounds' ratios.
template <class Raw, class Marvok, class Lib>
void paired(benchmark::State& state, const std::string& address, int block)
{
    Raw raw(address);
    Marvok marvok(address);
    Lib lib(address);
    if (!raw.ready() || !marvok.ready() || !lib.ready())
        return mb::fail(state, "cannot connect");
    const std::function<bool()> ops[3] = {[&] { return raw.run(); }, [&] { return marvok.run(); },
                                          [&] { return lib.run(); }};
    // One untimed block each first: a new connection's first exchanges are
    // slower (TCP's start), and would weigh on whichever went first.
    for (const auto& op : ops)
        for (int n = 0; n < block; ++n)
            if (!op())
                return mb::fail(state, "wrong or no reply");
    const auto us = mb::rounds_of_three(state, [&](int i) -> std::optional<double> {
        const auto start = std::chrono::steady_clock::now();
        for (int n = 0; n < block; ++n)
            if (!ops[i]()) {
                mb::fail(state, "wrong or no reply");
                return std::nullopt;
            }
        return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / block;
    });
    if (!us)
        return;
    const auto& [raw_us, marvok_us, libmodbus_us] = *us;
    state.counters["raw_us"] = mb::median(raw_us);
    state.counters["marvok_us"] = mb::median(marvok_us);
    state.counters["libmodbus_us"] = mb::median(libmodbus_us);
    state.counters["marvok_per_raw"] = mb::median_ratio(marvok_us, raw_us);
    state.counters["marvok_per_libmodbus"] = mb::median_ratio(marvok_us, libmodbus_us);
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<mb::Flag> flags;
    mb::initialize(&argc, argv,
                   "marvok_client_bench: the Modbus client's read transaction and its whole measurement call\n"
                   "(without the 100 ms pause) against a raw socket and libmodbus, all talking to one\n"
                   "marvok-sim process on a random loopback address, port 502 (needs root or a network\n"
                   "namespace). Median over repetitions: --benchmark_repetitions=N.",
                   flags);
    mb::raise_descriptor_limit();
    const mb::Server sim = mb::serve_on_loopback(mb::sim_program());
    const mb::Server echo = mb::serve_on_loopback(mb::echo_program());

    const auto add = [](const char* name, void (*fn)(benchmark::State&, const std::string&),
                        const std::string& address) {
        benchmark::RegisterBenchmark(name, fn, address)->UseRealTime();
    };
    add("transaction/raw", timed<RawTransaction>, sim.address);
    add("transaction/marvok", timed<MarvokTransaction>, sim.address);
    add("transaction/libmodbus", timed<LibmodbusTransaction>, sim.address);
    add("transaction/raw_echo", timed<RawTransaction>, echo.address);
    add("call/raw", timed<RawCall>, sim.address);
    add("call/marvok", timed<MarvokCall>, sim.address);
    add("call/libmodbus", timed<LibmodbusCall>, sim.address);
    add("call/raw_echo", timed<RawCall>, echo.address);
    benchmark::RegisterBenchmark("transaction/paired", paired<RawTransaction, MarvokTransaction, LibmodbusTransaction>,
                                 sim.address, 50)
        ->UseRealTime();
    benchmark::RegisterBenchmark("call/paired", paired<RawCall, MarvokCall, LibmodbusCall>, sim.address, 10)
        ->UseRealTime();

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return mb::finish({sim.process.get(), echo.process.get()});
}
