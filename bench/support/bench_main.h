// What the benchmark programs share around Google Benchmark: their own
// --NAME=VALUE flags (listed by --help with Google Benchmark's), the servers
// they start, and reading a server's CPU time.
#pragma once

#include "server_process.h"

#include <benchmark/benchmark.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace marvok::bench {

struct Flag {
    std::string name;   // without the leading dashes
    std::string value;  // the default, replaced by what the command line says
    std::string help;
};

// Runs benchmark::Initialize, then takes this program's flags out of argv;
// --sim=PATH, the simulator to run, is added to every program's flags.
// --help prints `about`, the flags and Google Benchmark's own, and exits 0; an
// unknown flag or a flag without a value exits 2 with one line on stderr.
void initialize(int* argc, char** argv, const std::string& about, std::vector<Flag>& flags);
const std::string& flag(const std::vector<Flag>& flags, const std::string& name);
// A positive integer flag; exits 2 with one line for anything else.
long positive_flag(const std::vector<Flag>& flags, const std::string& name);
// A comma-separated list of positive integers.
std::vector<long> positive_list_flag(const std::vector<Flag>& flags, const std::string& name);

// Marks the benchmark failed (a wrong reply, a sentinel, a lost server): it
// is skipped with `why`, and the program's exit status says so.
void fail(benchmark::State& state, const std::string& why);
// Stops the servers and gives the program's exit status: 0, or 1 once a
// benchmark has failed or a server did not end cleanly on SIGTERM (a crash,
// a sanitizer's report).
int finish(const std::vector<ServerProcess*>& servers);

// The server programs built beside the benchmarks.
std::string sim_program();     // marvok-sim, or what --sim names
std::string peer_program();    // marvok-bench-modbus-peer: libmodbus's server loop
std::string echo_program();    // marvok-bench-echo: the least a server can do

struct Server {
    std::string address;
    std::unique_ptr<ServerProcess> process;
};
// Runs `program --listen ADDR --fpm X` (X: the value every reply is checked
// against) on a fresh random loopback address, port 502; other addresses are
// tried when one is taken. Exits 1 with one line when it cannot be started.
Server serve_on_loopback(const std::string& program);

// The median of the values (0 for none).
double median(std::vector<double> values);

// Paired runs: for each iteration of `state`, measure(0), measure(1) and
// measure(2) in an order that rotates from one round to the next, so that
// each round compares the three under the same conditions. Returns each
// one's figure per round, or nothing once a measure fails (it has called
// fail() then).
using Measure = std::function<std::optional<double>(int)>;
std::optional<std::array<std::vector<double>, 3>> rounds_of_three(benchmark::State& state, const Measure& measure);
// The median over the rounds of a[k] / b[k].
double median_ratio(const std::vector<double>& a, const std::vector<double>& b);

// User plus system CPU time of a process so far, in seconds (0 when it cannot
// be read).
double process_cpu_seconds(pid_t pid);
// This thread's CPU time so far, in seconds.
double thread_cpu_seconds();

}  // namespace marvok::bench
