// marvok-sim: the simulated instruments as a program, for hosts to test
// against: one instrument or a whole plant of them, each on an address of its
// own. Serves until SIGINT or SIGTERM.
#include "plant.h"
#include "platform.h"
#include "simulator.h"

#include <CLI/CLI.hpp>
#include <asio.hpp>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <random>
#include <string>
#include <system_error>

namespace {

constexpr int usage_error = 2;
// Descriptors the process needs besides its listeners: standard streams, the
// event loop's own, and a few connections.
constexpr std::size_t spare_descriptors = 32;

const char* const description =
    "Simulated instruments: a Modbus/TCP server with an instrument of its own on each\n"
    "address it listens on. An instrument serves the FPM and F measurements as input\n"
    "registers 0-1 and 4-5 (IEEE-754 single, low-order word in the lower register;\n"
    "the other input registers of 0-9 read 0) and 100 holding registers (at first 0).\n"
    "Function codes 3, 4, 6 and 16; any unit id is answered.\n"
    "Prints 'listening on ADDR:PORT' for each address once ready, and stops on SIGINT\n"
    "or SIGTERM.\n"
    "Exit status: 0 when stopped (or after --dump), 2 for a bad command line or plant\n"
    "file, an address that cannot be listened on, or more addresses than the limit on\n"
    "open descriptors allows.";

const char* const fault_help =
    "Misbehave on every request (see --fault-rate):\n"
    "  none        answer normally (default)\n"
    "  silent      read requests, never answer\n"
    "  close       close the connection, no answer\n"
    "  reset       reset the connection (RST)\n"
    "  exception   answer with exception 04 (server\n"
    "              device failure)\n"
    "  late:MS     answer after MS milliseconds\n"
    "  split[:MS]  write the reply in two pieces, the\n"
    "              7-byte header and the rest, MS ms\n"
    "              apart (default 50)\n"
    "first-MODE (e.g. first-late:300) hits only the\n"
    "first request on each connection; later ones are\n"
    "answered normally. MS is 0..3600000.";

const char* const wave_help =
    "Move FPM around its value X (default none: constant):\n"
    "SHAPE:A:PERIOD[:PHASE] with amplitude A; PERIOD and\n"
    "PHASE take ms, s, min or h (bare: seconds). SHAPE:\n"
    "  sine      starts at X, rising\n"
    "  square    X+A for the first half period, X-A after\n"
    "  triangle  starts at X, rising, straight lines\n"
    "  ramp      from X-A up to X+A, then back at once\n"
    "Time counts from the start; PHASE shifts it. A\n"
    "negative A turns the wave upside down.\n"
    "E.g. sine:20:60s";

const char* const noise_help =
    "Noise on each reading of FPM (default none):\n"
    "  S, uniform:S  even in [-S, +S]\n"
    "  gaussian:S    normal, standard deviation S, cut\n"
    "                off at 4 S";

const char* const config_help =
    "Plant file (JSON), e.g.\n"
    "{\"seed\": 7, \"listen\": \"127.0.0.10-127.0.0.99\",\n"
    " \"defaults\": {\"fpm\": 350, \"fpm-wave\": \"sine:20:60s\"},\n"
    " \"instruments\": [{\"listen\": \"127.0.0.42\",\n"
    "   \"fault\": \"silent\", \"fault-rate\": 0.05}]}\n"
    "Settings are named as the flags below, without\n"
    "dashes in front. An instrument takes the built-in\n"
    "defaults, then the file's \"defaults\", then the flags\n"
    "given, then the file's \"instruments\" entries for\n"
    "its address, in file order. \"port\" and \"seed\" too\n"
    "(the flags win). The addresses served: --listen's,\n"
    "the file's \"listen\" and its entries'.";

std::optional<float> parse_float(std::string text)
{
    if (!text.empty() && text.front() == '+')
        text.erase(0, 1);
    float value = 0;
    const auto end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end)
        return std::nullopt;
    return value;
}

// A CLI11 check from a parser that throws std::invalid_argument.
template <class Parse>
CLI::Validator checked_by(Parse parse)
{
    return CLI::Validator(
        [parse](std::string& text) -> std::string {
            try {
                parse(text);
                return "";
            } catch (const std::invalid_argument& e) {
                return e.what();
            }
        },
        "");
}

float float_value(const std::string& text)
{
    const auto value = parse_float(text);
    if (!value)
        throw std::invalid_argument("'" + text + "' is not a number a float can hold");
    return *value;
}

marvok::sim::Fault fault_value(const std::string& text)
{
    const auto fault = marvok::sim::parse_fault(text);
    if (!fault)
        throw std::invalid_argument("unknown fault mode '" + text + "' (see --help)");
    return *fault;
}

double rate_value(const std::string& text)
{
    double rate = -1;
    try {
        rate = marvok::sim::parse_number(text);
    } catch (const std::invalid_argument&) {
    }
    if (!(rate >= 0 && rate <= 1))
        throw std::invalid_argument("'" + text + "' is not a rate from 0 to 1");
    return rate;
}

std::uint64_t seed_value(const std::string& text)
{
    std::uint64_t seed = 0;
    const auto end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, seed);
    if (text.empty() || ec != std::errc{} || ptr != end)
        throw std::invalid_argument("'" + text + "' is not a whole number from 0 to 2^64-1");
    return seed;
}

std::string one_line(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    for (auto& c : text)
        if (c == '\n')
            c = ' ';
    return text;
}

int fail(const std::string& message)
{
    std::cerr << "marvok-sim: " << one_line(message) << std::endl;
    return usage_error;
}

std::uint64_t random_seed()
{
    std::random_device device;
    return (std::uint64_t{device()} << 32 ^ device()) ^
           static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

}  // namespace

int main(int argc, char** argv)
{
    namespace sim = marvok::sim;

    CLI::App app(description, "marvok-sim");
    app.get_formatter()->column_width(26);

    std::vector<std::string> listen;
    int port = 502;
    std::string config, fpm, f, fpm_wave, f_wave, fpm_noise, f_noise, fault, fault_rate, seed;
    bool dump = false;

    app.add_option("--listen", listen,
                   "Listen on ADDR, a numeric IPv4 or IPv6 address,\n"
                   "or on each address from FIRST to LAST (e.g.\n"
                   "127.0.1.250-127.0.2.5; at most 65536), an\n"
                   "instrument of its own on each; repeat for more\n"
                   "(default 127.0.0.1)")
        ->type_name("ADDR|FIRST-LAST")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(checked_by(sim::expand_range));
    auto* port_option = app.add_option("--port", port, "TCP port, 0 for any free one (default 502)")
                            ->type_name("N")
                            ->check(CLI::Range(0, 65535).description(""));
    app.add_option("--config", config, config_help)->type_name("FILE");
    auto* fpm_option =
        app.add_option("--fpm", fpm, "FPM measurement (default 350.0)")->type_name("X")->check(checked_by(float_value));
    auto* fpm_wave_option = app.add_option("--fpm-wave", fpm_wave, wave_help)
                                ->type_name("WAVE")
                                ->check(checked_by(sim::parse_wave));
    auto* fpm_noise_option = app.add_option("--fpm-noise", fpm_noise, noise_help)
                                 ->type_name("NOISE")
                                 ->check(checked_by(sim::parse_noise));
    auto* f_option =
        app.add_option("--f", f, "F measurement (default 50.0)")->type_name("X")->check(checked_by(float_value));
    auto* f_wave_option = app.add_option("--f-wave", f_wave, "As --fpm-wave, for F around its value")
                              ->type_name("WAVE")
                              ->check(checked_by(sim::parse_wave));
    auto* f_noise_option = app.add_option("--f-noise", f_noise, "As --fpm-noise, for F")
                               ->type_name("NOISE")
                               ->check(checked_by(sim::parse_noise));
    auto* fault_option = app.add_option("--fault", fault, fault_help)->type_name("MODE")->check(checked_by(fault_value));
    auto* fault_rate_option =
        app.add_option("--fault-rate", fault_rate,
                       "Apply the fault to each request it would hit only with\n"
                       "probability P, from 0 to 1 (default 1: every time)")
            ->type_name("P")
            ->check(checked_by(rate_value));
    auto* seed_option = app.add_option("--seed", seed,
                                       "Seed for noise and fault rates, so that a run\n"
                                       "can be repeated, 0 to 2^64-1 (default: a new\n"
                                       "one each run; --dump shows it)")
                            ->type_name("N")
                            ->check(checked_by(seed_value));
    app.add_flag("--dump", dump,
                 "Print the plant (each address with its settings) and\n"
                 "exit 0 without listening");
    if (sim::platform::has_status_signal)
        app.footer("SIGUSR1 prints a status line to stderr: instruments, connections open,\n"
                   "requests served (answered or not), faults injected.");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return fail(e.what());
    }

    sim::PlantRequest request;
    request.listen = listen;
    request.config = config;
    if (*port_option)
        request.port = static_cast<std::uint16_t>(port);
    if (*seed_option)
        request.seed = seed_value(seed);
    auto& flags = request.flags;
    if (*fpm_option)
        flags.fpm = float_value(fpm);
    if (*f_option)
        flags.f = float_value(f);
    if (*fpm_wave_option)
        flags.fpm_wave = sim::parse_wave(fpm_wave);
    if (*f_wave_option)
        flags.f_wave = sim::parse_wave(f_wave);
    if (*fpm_noise_option)
        flags.fpm_noise = sim::parse_noise(fpm_noise);
    if (*f_noise_option)
        flags.f_noise = sim::parse_noise(f_noise);
    if (*fault_option)
        flags.fault = fault_value(fault);
    if (*fault_rate_option) {
        if (!*fault_option && config.empty())
            return fail("--fault-rate needs --fault: which fault to inject");
        flags.fault_rate = rate_value(fault_rate);
    }

    sim::Plant plant;
    try {
        plant = sim::resolve_plant(request, random_seed());
    } catch (const sim::PlantError& e) {
        return fail(e.what());
    }
    if (dump) {
        std::cout << sim::dump(plant) << std::flush;
        return std::cout ? 0 : 1;
    }

    const auto limit = sim::platform::prepare_process();
    const auto needed = plant.instruments.size() + spare_descriptors;
    if (limit < needed)
        return fail(std::to_string(plant.instruments.size()) + " addresses need about " + std::to_string(needed) +
                    " open descriptors, but this process may have only " + std::to_string(limit) +
                    " (raise the hard limit: ulimit -Hn, or LimitNOFILE for a service)");

    sim::Options options;
    options.plant = std::move(plant.instruments);
    options.port = plant.port;
    options.seed = plant.seed;
    options.log_requests = false;

    try {
        sim::Simulator simulator(std::move(options));
        // Catch the signals before binding (thousands of addresses take a
        // while, and SIGUSR1 would otherwise end the process) and before
        // announcing readiness, so that a stop sent as soon as the line is
        // read is a clean one.
        asio::io_context signals_io;
        sim::platform::Signals signals(
            signals_io, [&] { simulator.stop(); },
            [&] {
                const auto stats = simulator.stats();
                std::cerr << "marvok-sim: status: instruments " << stats.instruments << ", connections open "
                          << stats.connections_open << ", requests served " << stats.requests
                          << ", faults injected " << stats.faults << std::endl;
            });

        simulator.open();
        simulator.start();
        std::string lines;
        for (const auto& endpoint : simulator.endpoints())
            lines += "listening on " + endpoint + "\n";
        std::cout << lines << std::flush;

        signals_io.run();
        return 0;
    } catch (const std::system_error& e) {
        return fail(e.what());
    } catch (const std::exception& e) {
        std::cerr << "marvok-sim: " << one_line(e.what()) << std::endl;
        return 1;
    }
}
