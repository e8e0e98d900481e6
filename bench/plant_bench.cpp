// A plant's worth of instruments in one marvok-sim process, on consecutive
// loopback addresses 127.0.C.1 onwards, port 502:
//   plant/library  the library's measurement call (without the 100 ms pause)
//                  reading a sample of them one after another, twice (the
//                  time is the second round's)
//   plant/sweep    every instrument read once over a new connection, many in
//                  parallel, each value checked; the simulator's resident
//                  set (peak: VmHWM) afterwards
#include "bench_main.h"
#include "frames.h"
#include "load.h"
#include "marvok.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <iostream>
#include <random>

namespace mb = marvok::bench;

namespace {

std::string address_text(std::uint32_t host_order)
{
    in_addr a{htonl(host_order)};
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

struct Plant {
    std::vector<std::uint32_t> addresses;  // host byte order
    std::unique_ptr<mb::ServerProcess> sim;
    double startup_s = 0;
    bool range_form = false;
};

// Whether this marvok-sim takes a range of addresses in one --listen
// (FIRST-LAST); older ones take one address per --listen.
bool sim_takes_ranges()
{
    std::string why;
    const auto probe = mb::ServerProcess::start(
        {mb::sim_program(), "--port", "0", "--listen", "127.0.0.1-127.0.0.2"}, 2, std::chrono::seconds(5), why,
        true);
    return probe && probe->stop();
}

// Starts one simulator for `count` instruments on consecutive addresses in
// 127.0.0.0/16, trying other places in it when one is taken.
Plant start_plant(long count)
{
    const bool ranges = sim_takes_ranges();
    std::mt19937 gen(std::random_device{}());
    const long blocks = (count + 255) / 256 + 1;
    std::string why;
    for (int attempt = 0; attempt < 8; ++attempt) {
        Plant plant;
        const auto c = std::uniform_int_distribution<long>(0, 255 - blocks)(gen);
        const std::uint32_t first = 0x7F000001u | static_cast<std::uint32_t>(c) << 8;
        for (long i = 0; i < count; ++i)
            plant.addresses.push_back(first + static_cast<std::uint32_t>(i));
        std::vector<std::string> argv{mb::sim_program(), "--fpm", mb::fpm_text};
        if (ranges) {
            argv.push_back("--listen");
            argv.push_back(address_text(plant.addresses.front()) + "-" + address_text(plant.addresses.back()));
        } else {
            for (const auto a : plant.addresses) {
                argv.push_back("--listen");
                argv.push_back(address_text(a));
            }
        }
        plant.range_form = ranges;
        const auto start = std::chrono::steady_clock::now();
        plant.sim = mb::ServerProcess::start(argv, plant.addresses.size(), std::chrono::seconds(60), why);
        plant.startup_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (plant.sim)
            return plant;
    }
    std::cerr << "marvok_plant_bench: cannot start the plant: " << why << "\n";
    std::exit(1);
}

double mib(std::optional<long> kib) { return kib ? static_cast<double>(*kib) / 1024.0 : -1; }

}  // namespace

int main(int argc, char** argv)
{
    std::vector<mb::Flag> flags{
        {"instruments", "10000", "simulated instruments, one loopback address each"},
        {"in_flight", "1000", "instruments the sweep reads at once"},
        {"sample", "100", "instruments the library reads one after another"},
        {"limit_ms", "60000", "the longest a sweep may take"},
    };
    mb::initialize(&argc, argv,
                   "marvok_plant_bench: one marvok-sim process serving many instruments on consecutive\n"
                   "loopback addresses, port 502 (needs root or a network namespace): the time to read\n"
                   "every one once, the simulator's peak resident set, and the library reading a sample.",
                   flags);
    const long count = mb::positive_flag(flags, "instruments");
    const int in_flight = static_cast<int>(mb::positive_flag(flags, "in_flight"));
    const long sample = std::min(mb::positive_flag(flags, "sample"), count);
    mb::LoadLimits limits;
    limits.measure = std::chrono::milliseconds(mb::positive_flag(flags, "limit_ms"));
    if (count > 250 * 256) {
        std::cerr << argv[0] << ": --instruments is at most " << 250 * 256 << "\n";
        return 2;
    }
    const long fd_limit = mb::raise_descriptor_limit();
    if (count + in_flight + 64 > fd_limit) {
        std::cerr << argv[0] << ": " << count << " instruments and " << in_flight
                  << " connections need more descriptors than the limit of " << fd_limit << "\n";
        return 2;
    }

    Plant plant = start_plant(count);

    // The library first, while the plant is quiet: after a sweep the simulator
    // is still closing its connections for a while.
    benchmark::RegisterBenchmark("plant/library", [&](benchmark::State& state) {
        std::vector<std::array<short, 4>> picks;
        for (long i = 0; i < sample; ++i) {
            const std::uint32_t a = plant.addresses[static_cast<std::size_t>(i * count / sample)];
            picks.push_back({static_cast<short>(a >> 24), static_cast<short>(a >> 16 & 0xFF),
                             static_cast<short>(a >> 8 & 0xFF), static_cast<short>(a & 0xFF)});
        }
        for (auto _ : state) {
            // Twice over the same instruments: the first connection to each
            // address costs more (the simulator and the kernel set things up
            // on first use), as in a host's first round over a plant.
            long wrong = 0;
            double seconds[2];
            for (double& pass : seconds) {
                const auto start = std::chrono::steady_clock::now();
                for (const auto& p : picks)
                    wrong += MARVOK_MODBUS_READ_FPM(p[0], p[1], p[2], p[3], 0) != mb::fpm_value;
                pass = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            }
            const double calls = static_cast<double>(picks.size());
            state.SetIterationTime(seconds[1]);
            state.counters["calls"] = calls;
            state.counters["first_round_us_each"] = seconds[0] * 1e6 / calls;
            state.counters["per_call_us"] = seconds[1] * 1e6 / calls;
            state.counters["errors"] = static_cast<double>(wrong);
            if (wrong > 0)
                mb::fail(state, "a call returned a sentinel or a wrong value");
        }
    })->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

    benchmark::RegisterBenchmark("plant/sweep", [&](benchmark::State& state) {
        for (auto _ : state) {
            const double idle = mib(plant.sim->status_kib("VmRSS"));
            mb::ConnectionLoad load;
            for (const auto a : plant.addresses)
                load.targets.push_back(mb::endpoint(address_text(a)));
            load.in_flight = in_flight;
            load.each_once = true;
            const auto result = mb::connection_load(load, limits);
            state.SetIterationTime(result.seconds);
            state.counters["instruments"] = static_cast<double>(count);
            state.counters["answered"] = static_cast<double>(result.replies);
            state.counters["errors"] = static_cast<double>(result.errors);
            state.counters["startup_s"] = plant.startup_s;
            state.counters["one_listen_range"] = plant.range_form ? 1 : 0;
            state.counters["rss_idle_MiB"] = idle;
            state.counters["rss_peak_MiB"] = mib(plant.sim->status_kib("VmHWM"));
            if (result.errors > 0 || result.replies != static_cast<std::uint64_t>(count))
                mb::fail(state, result.first_error);
        }
    })->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return mb::finish({plant.sim.get()});
}
