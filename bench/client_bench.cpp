// The client against the physical limit and libmodbus, all against one
// marvok-sim process on a loopback address of its own:
//   transaction/*  one read of two input registers on an open connection
//   call/*         a whole measurement call without the pause: connect,
//                  read, close
// raw_* are a bare socket doing the same bytes (TCP_NODELAY, blocking send
// and recv); *_echo run against marvok-bench-echo instead of the simulator,
// the floor of loopback itself.
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

void raw_transaction(benchmark::State& state, const std::string& address)
{
    const int fd = raw_connect(mb::endpoint(address), true);
    if (fd < 0)
        return mb::fail(state, "cannot connect");
    for (auto _ : state)
        if (!raw_exchange(fd)) {
            mb::fail(state, "wrong or no reply");
            break;
        }
    close(fd);
}

void marvok_transaction(benchmark::State& state, const std::string& address)
{
    const auto p = address_parts(address);
    if (MODBUS_OPEN(p[0], p[1], p[2], p[3]) != 0)
        return mb::fail(state, "MODBUS_OPEN failed");
    for (auto _ : state) {
        if (MODBUS_READ_INPUT_REGISTERS(1, 0, 2) != 0 ||
            !registers_hold_fpm(reinterpret_cast<const std::uint16_t*>(MODBUS_CONTEXT.registers))) {
            mb::fail(state, "wrong or no reply");
            break;
        }
    }
    MODBUS_CLOSE();
}

modbus_t* libmodbus_context(const std::string& address)
{
    modbus_t* ctx = modbus_new_tcp(address.c_str(), 502);
    if (ctx)
        modbus_set_slave(ctx, 1);
    return ctx;
}

void libmodbus_transaction(benchmark::State& state, const std::string& address)
{
    modbus_t* ctx = libmodbus_context(address);
    if (!ctx || modbus_connect(ctx) != 0) {
        modbus_free(ctx);
        return mb::fail(state, "modbus_connect failed");
    }
    std::uint16_t registers[2];
    for (auto _ : state)
        if (modbus_read_input_registers(ctx, 0, 2, registers) != 2 || !registers_hold_fpm(registers)) {
            mb::fail(state, "wrong or no reply");
            break;
        }
    modbus_close(ctx);
    modbus_free(ctx);
}

// The bytes of a measurement call, nothing else: connect, one exchange,
// close (no TCP_NODELAY: the library does not set it either).
void raw_call(benchmark::State& state, const std::string& address)
{
    const auto target = mb::endpoint(address);
    for (auto _ : state) {
        const int fd = raw_connect(target, false);
        const bool ok = fd >= 0 && raw_exchange(fd);
        if (fd >= 0)
            close(fd);
        if (!ok) {
            mb::fail(state, "no connection or wrong reply");
            break;
        }
    }
}

void marvok_call(benchmark::State& state, const std::string& address)
{
    const auto p = address_parts(address);
    for (auto _ : state)
        if (MARVOK_MODBUS_READ_FPM(p[0], p[1], p[2], p[3], 0) != mb::fpm_value) {
            mb::fail(state, "wrong value or sentinel");
            break;
        }
}

void libmodbus_call(benchmark::State& state, const std::string& address)
{
    modbus_t* ctx = libmodbus_context(address);
    if (!ctx)
        return mb::fail(state, "modbus_new_tcp failed");
    std::uint16_t registers[2];
    for (auto _ : state) {
        const bool ok = modbus_connect(ctx) == 0 && modbus_read_input_registers(ctx, 0, 2, registers) == 2 &&
                        registers_hold_fpm(registers);
        modbus_close(ctx);
        if (!ok) {
            mb::fail(state, "no connection or wrong reply");
            break;
        }
    }
    modbus_free(ctx);
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
    add("transaction/raw", raw_transaction, sim.address);
    add("transaction/marvok", marvok_transaction, sim.address);
    add("transaction/libmodbus", libmodbus_transaction, sim.address);
    add("transaction/raw_echo", raw_transaction, echo.address);
    add("call/raw", raw_call, sim.address);
    add("call/marvok", marvok_call, sim.address);
    add("call/libmodbus", libmodbus_call, sim.address);
    add("call/raw_echo", raw_call, echo.address);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return mb::finish({sim.process.get(), echo.process.get()});
}
