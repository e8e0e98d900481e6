// The simulator's throughput against libmodbus's server loop, each in a
// process of its own, driven by one load-generator thread here:
//   keepalive/SERVER/clients:N  requests per second with N keep-alive clients
//   connect/SERVER              new connections per second, each one request
//                               as a host call makes
//   */paired*                   the three servers in turn, round by round:
//                               the medians of the rounds' rates and ratios
// SERVER is marvok-sim, libmodbus (marvok-bench-modbus-peer) or echo
// (marvok-bench-echo, the least a server can do: the load generator's own
// limit). server_cpu is the server's CPU time over wall time (1.0: a core
// saturated), load_cpu the same for the generator.
#include "bench_main.h"
#include "load.h"

#include <benchmark/benchmark.h>

#include <functional>
#include <iostream>

namespace mb = marvok::bench;

namespace {

struct Target {
    const char* name;
    mb::Server server;
};

// Runs one load once and reports its rate; the time is the measured window.
void run_load(benchmark::State& state, const mb::Server& server, const char* rate_name, mb::LoadLimits limits,
              const std::function<mb::LoadResult(const mb::LoadLimits&)>& load)
{
    for (auto _ : state) {
        double server_before = 0, load_before = 0;
        limits.window_opens = [&] {
            server_before = mb::process_cpu_seconds(server.process->pid());
            load_before = mb::thread_cpu_seconds();
        };
        const auto result = load(limits);
        const double server_cpu = mb::process_cpu_seconds(server.process->pid()) - server_before;
        const double load_cpu = mb::thread_cpu_seconds() - load_before;
        state.SetIterationTime(result.seconds);
        const double window = result.seconds > 0 ? result.seconds : 1;
        const double done = result.replies > 0 ? static_cast<double>(result.replies) : 1;
        state.counters[rate_name] = result.rate();
        state.counters["errors"] = static_cast<double>(result.errors);
        // Shares of a core, and CPU time per transaction: the cost of serving
        // one, which holds even when other work on the machine takes cores.
        state.counters["server_cpu"] = server_cpu / window;
        state.counters["load_cpu"] = load_cpu / window;
        state.counters["server_us_each"] = server_cpu * 1e6 / done;
        state.counters["load_us_each"] = load_cpu * 1e6 / done;
        if (result.errors > 0 || result.replies == 0)
            mb::fail(state, result.first_error.empty() ? "no replies" : result.first_error);
    }
}

// The three servers in turn, one short run each, round by round; the ratios
// are the medians of the rounds' ratios.
void paired(benchmark::State& state, const std::vector<Target>& targets, const std::string& rate_name,
            const std::function<mb::LoadResult(const mb::Server&)>& load)
{
    const auto rates = mb::rounds_of_three(state, [&](int i) -> std::optional<double> {
        const Target& target = targets[static_cast<std::size_t>(i)];
        const auto result = load(target.server);
        if (result.errors > 0 || result.replies == 0) {
            mb::fail(state, std::string(target.name) + ": " +
                                (result.first_error.empty() ? "no replies" : result.first_error));
            return std::nullopt;
        }
        return result.rate();
    });
    if (!rates)
        return;
    for (std::size_t i = 0; i < 3; ++i)
        state.counters[std::string(targets[i].name) + "_" + rate_name] = mb::median((*rates)[i]);
    state.counters["sim_per_libmodbus"] = mb::median_ratio((*rates)[0], (*rates)[1]);
    state.counters["sim_per_echo"] = mb::median_ratio((*rates)[0], (*rates)[2]);
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<mb::Flag> flags{
        {"clients", "1,16,256", "numbers of keep-alive clients, comma-separated"},
        {"in_flight", "32", "connections in flight at once in the connection runs"},
        {"sources", "64", "loopback source addresses the connection runs take in turn"},
        {"warmup_ms", "200", "time each run goes before counting"},
        {"measure_ms", "2000", "time each run counts"},
        {"rounds", "5", "rounds of the paired runs (the three servers in turn)"},
        {"round_ms", "300", "time each server's run counts in a round, after warmup_ms"},
    };
    mb::initialize(&argc, argv,
                   "marvok_sim_bench: requests per second with keep-alive clients and new connections per\n"
                   "second, for marvok-sim, libmodbus's select server loop and a bare epoll responder, each\n"
                   "in a process of its own on a random loopback address, port 502 (needs root or a network\n"
                   "namespace).",
                   flags);
    const auto clients = mb::positive_list_flag(flags, "clients");
    const int in_flight = static_cast<int>(mb::positive_flag(flags, "in_flight"));
    const int sources = static_cast<int>(mb::positive_flag(flags, "sources"));
    mb::LoadLimits limits;
    limits.warmup = std::chrono::milliseconds(mb::positive_flag(flags, "warmup_ms"));
    limits.measure = std::chrono::milliseconds(mb::positive_flag(flags, "measure_ms"));
    mb::LoadLimits round_limits = limits;
    round_limits.measure = std::chrono::milliseconds(mb::positive_flag(flags, "round_ms"));
    const long rounds = mb::positive_flag(flags, "rounds");
    const long fd_limit = mb::raise_descriptor_limit();
    for (const long n : clients)
        if (n + 64 > fd_limit) {
            std::cerr << argv[0] << ": " << n << " clients need more descriptors than the limit of " << fd_limit
                      << "\n";
            return 2;
        }

    std::vector<Target> targets;
    targets.push_back({"marvok-sim", mb::serve_on_loopback(mb::sim_program())});
    targets.push_back({"libmodbus", mb::serve_on_loopback(mb::peer_program())});
    targets.push_back({"echo", mb::serve_on_loopback(mb::echo_program())});

    for (const auto& target : targets) {
        const mb::Server& server = target.server;
        for (const long n : clients) {
            const std::string name = std::string("keepalive/") + target.name + "/clients:" + std::to_string(n);
            benchmark::RegisterBenchmark(name.c_str(), [&server, n, limits](benchmark::State& state) {
                const auto addr = mb::endpoint(server.address);
                run_load(state, server, "req_per_s", limits, [&](const mb::LoadLimits& l) {
                    return mb::keep_alive_load(addr, static_cast<int>(n), l);
                });
            })->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
        }
        const std::string name = std::string("connect/") + target.name;
        benchmark::RegisterBenchmark(name.c_str(), [&server, in_flight, sources, limits](benchmark::State& state) {
            mb::ConnectionLoad load;
            load.targets = {mb::endpoint(server.address)};
            load.sources = mb::loopback_sources(sources);
            load.in_flight = in_flight;
            run_load(state, server, "conn_per_s", limits,
                     [&](const mb::LoadLimits& l) { return mb::connection_load(load, l); });
        })->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    }

    for (const long n : clients) {
        const std::string name = "keepalive/paired/clients:" + std::to_string(n);
        benchmark::RegisterBenchmark(name.c_str(), [&targets, n, round_limits](benchmark::State& state) {
            paired(state, targets, "req_per_s", [&](const mb::Server& server) {
                return mb::keep_alive_load(mb::endpoint(server.address), static_cast<int>(n), round_limits);
            });
        })->Iterations(rounds)->Repetitions(1)->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("connect/paired", [&targets, in_flight, sources, round_limits](
                                                       benchmark::State& state) {
        const auto source_addresses = mb::loopback_sources(sources);
        paired(state, targets, "conn_per_s", [&](const mb::Server& server) {
            mb::ConnectionLoad load;
            load.targets = {mb::endpoint(server.address)};
            load.sources = source_addresses;
            load.in_flight = in_flight;
            return mb::connection_load(load, round_limits);
        });
    })->Iterations(rounds)->Repetitions(1)->Unit(benchmark::kMillisecond);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::vector<mb::ServerProcess*> servers;
    for (auto& target : targets)
        servers.push_back(target.server.process.get());
    return mb::finish(servers);
}
