// marvok-sim: the simulated instrument as a program, for hosts to test
// against. Serves until SIGINT or SIGTERM.
#include "simulator.h"

#include <CLI/CLI.hpp>
#include <asio.hpp>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <system_error>

namespace {

constexpr int usage_error = 2;

const char* const description =
    "Simulated instrument: a Modbus/TCP server that serves the FPM and F measurements\n"
    "as input registers 0-1 and 4-5 (IEEE-754 single, low-order word in the lower\n"
    "register; the other input registers of 0-9 read 0) and 100 holding registers\n"
    "(initially 0). Function codes 3, 4, 6 and 16; any unit id is answered.\n"
    "Prints 'listening on ADDR:PORT' for each address once ready, and stops on\n"
    "SIGINT or SIGTERM. Exit status: 0 when stopped, 2 for a bad command line or an\n"
    "address that cannot be listened on.";

const char* const fault_help =
    "Misbehave on every request:\n"
    "  none        answer normally (default)\n"
    "  silent      read requests, never answer\n"
    "  close       close the connection instead of answering\n"
    "  reset       reset the connection (the client sees RST)\n"
    "  exception   answer with exception 04 (server device failure)\n"
    "  late:MS     answer after MS milliseconds\n"
    "  split[:MS]  write the reply in two pieces, the 7-byte header and\n"
    "              the rest, MS milliseconds apart (default 50)\n"
    "first-MODE (e.g. first-late:300) hits only the first request on each\n"
    "connection; later ones are answered normally. MS is 0..3600000.";

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

CLI::Validator float_value()
{
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return parse_float(text) ? "" : "'" + text + "' is not a number a float can hold";
        },
        "");
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

}  // namespace

int main(int argc, char** argv)
{
    using marvok::sim::Options;
    const Options defaults;

    CLI::App app(description, "marvok-sim");
    app.get_formatter()->column_width(26);

    std::vector<std::string> listen;
    int port = defaults.port;
    std::string fpm = "350.0", f = "50.0", fault = "none";

    app.add_option("--listen", listen,
                   "Listen on ADDR, a numeric IPv4 or IPv6 address;\n"
                   "repeat for several (default 127.0.0.1)")
        ->type_name("ADDR")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check([](const std::string& text) -> std::string {
            std::error_code ec;
            asio::ip::make_address(text, ec);
            return ec ? "'" + text + "' is not a numeric IPv4 or IPv6 address" : "";
        });
    app.add_option("--port", port, "TCP port, 0 for any free one (default 502)")
        ->type_name("N")
        ->check(CLI::Range(0, 65535).description(""));
    app.add_option("--fpm", fpm, "FPM measurement (default 350.0)")->type_name("X")->check(float_value());
    app.add_option("--f", f, "F measurement (default 50.0)")->type_name("X")->check(float_value());
    app.add_option("--fault", fault, fault_help)
        ->type_name("MODE")
        ->check([](const std::string& text) -> std::string {
            return marvok::sim::parse_fault(text) ? "" : "unknown fault mode '" + text + "' (see --help)";
        });

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return fail(e.what());
    }

    Options options;
    if (!listen.empty())
        options.listen = listen;
    options.port = static_cast<std::uint16_t>(port);
    options.fpm = *parse_float(fpm);
    options.f = *parse_float(f);
    options.fault = *marvok::sim::parse_fault(fault);
    options.log_requests = false;

#ifdef SIGPIPE
    // A reader of our stdout that went away must not kill the instrument.
    std::signal(SIGPIPE, SIG_IGN);
#endif

    try {
        marvok::sim::Simulator simulator(options);
        simulator.open();

        // Catch the signals before announcing readiness, so that a stop sent
        // as soon as the line is read is a clean one.
        asio::io_context signals_io;
        asio::signal_set signals(signals_io, SIGINT, SIGTERM);
        signals.async_wait([&](const std::error_code&, int) { simulator.stop(); });

        simulator.start();
        for (const auto& endpoint : simulator.endpoints())
            std::cout << "listening on " << endpoint << '\n';
        std::cout.flush();

        signals_io.run();
        return 0;
    } catch (const std::system_error& e) {
        return fail(e.what());
    } catch (const std::exception& e) {
        std::cerr << "marvok-sim: " << one_line(e.what()) << std::endl;
        return 1;
    }
}
