#include "options.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

namespace marvok::read {

namespace {

constexpr const char* PROGRAM = "marvok-read";

// A reason why a value was refused; empty when it was accepted.
using Problem = std::string;

std::string quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// Parses all of `text` as a decimal number; a sign, spaces, a base prefix or
// trailing characters make it fail.
template <typename Number>
bool whole_decimal(std::string_view text, Number& value)
{
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front())))
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

Problem parse_ipv4(std::string_view text, std::array<short, 4>& parts)
{
    const Problem refused = quoted(text) + " is not an IPv4 address (four numbers 0-255 joined by dots)";
    std::size_t part = 0;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t dot = text.find('.', begin);
        const std::string_view piece =
            text.substr(begin, dot == std::string_view::npos ? std::string_view::npos : dot - begin);
        unsigned value = 0;
        // A leading zero is refused: some systems read "010" as octal 8.
        if (part == 4 || piece.size() > 3 || (piece.size() > 1 && piece.front() == '0') ||
            !whole_decimal(piece, value) || value > 255)
            return refused;
        parts[part++] = static_cast<short>(value);
        if (dot == std::string_view::npos)
            break;
        begin = dot + 1;
    }
    return part == 4 ? Problem{} : refused;
}

Problem parse_delay(std::string_view text, short& delay_ms)
{
    int value = 0;
    if (!whole_decimal(text, value) || value > std::numeric_limits<short>::max())
        return "--delay must be a whole number of milliseconds from 0 to 32767, not " + quoted(text);
    delay_ms = static_cast<short>(value);
    return {};
}

Problem parse_count(std::string_view text, std::uint64_t& count)
{
    if (!whole_decimal(text, count) || count == 0)
        return "--count must be a whole number of rounds, 1 or more, not " + quoted(text);
    return {};
}

Problem parse_every(std::string_view text, double& seconds)
{
    double value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    const bool digit_first = !text.empty() && (std::isdigit(static_cast<unsigned char>(text.front())) ||
                                               text.front() == '.');
    const auto [end, error] = std::from_chars(first, last, value);
    if (!digit_first || error != std::errc{} || end != last || !std::isfinite(value) ||
        value < EVERY_MIN_SECONDS || value > EVERY_MAX_SECONDS) {
        char range[96];
        std::snprintf(range, sizeof range, "from %g to %g", EVERY_MIN_SECONDS, EVERY_MAX_SECONDS);
        return "--every must be a number of seconds " + std::string(range) + ", not " + quoted(text);
    }
    seconds = value;
    return {};
}

Problem parse_measure(std::string_view text, bool& fpm, bool& f)
{
    std::string lower(text);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "fpm" || lower == "f" || lower == "both") {
        fpm = lower != "f";
        f = lower != "fpm";
        return {};
    }
    return "--measure must be fpm, f or both, not " + quoted(text);
}

// CLI11 may spread a message over lines; the caller reports one line.
std::string one_line(std::string text)
{
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

int usage_error(const std::string& problem)
{
    std::fprintf(stderr, "%s: %s (see %s --help)\n", PROGRAM, one_line(problem).c_str(), PROGRAM);
    return exit_usage;
}

const char* const DESCRIPTION =
    "Reads the FPM and F measurements of the instrument at ADDRESS through the\n"
    "Marvok library, loaded at run time as a host application loads it.";

const char* const FOOTER = R"(Output:
  Without --csv, one line per measurement: "FPM 350.25", "F 50". Values are
  printed in the shortest form that reads back as the same number.
  With --csv, a header line, then one row per round: time (ISO 8601, UTC, at
  the start of the round), address, then fpm and/or f. A measurement that
  failed leaves its cell empty.
  A failed measurement is reported on stderr as "no connection" (the
  instrument did not accept a connection) or "no reply" (it accepted but did
  not answer); its value is never printed.

Timing:
  Rounds start every SECONDS on a fixed grid counted from the first one, so
  they do not drift. A round that starts late starts at once; slots missed
  entirely are skipped, never made up in a burst. Without --every, rounds
  follow each other at once (the library paces each read by at least 100 ms).

Library:
  By default )" MARVOK_LIBRARY_FILE R"( next to this program, otherwise the one
  the system's library search finds.

Exit status:
  0  every measurement was read
  1  the library could not be loaded, or lacks one of its functions
  2  the command line is wrong
  3  at least one measurement found no connection
  4  at least one measurement got no reply, and none found no connection
  5  the output could not be written (this outranks 3 and 4))";

}  // namespace

std::optional<int> parse_command_line(int argc, char** argv, Options& options)
{
    CLI::App app{DESCRIPTION, PROGRAM};
    app.set_version_flag("--version", std::string(PROGRAM) + " " + MARVOK_TOOL_VERSION);
    app.footer(FOOTER);
    app.get_formatter()->column_width(24);

    std::optional<std::string> address, delay, measure, every, count;
    app.add_option("ADDRESS", address, "IPv4 address of the instrument, e.g. 192.168.0.10")
        ->type_name("");
    app.add_option("--delay", delay, "Pacing delay passed to the library, 0-32767 (default 0)")
        ->type_name("MS");
    app.add_option("--measure", measure, "What to read: fpm, f or both (default both)")
        ->type_name("WHAT");
    app.add_option("--every", every, "Start a round every SECONDS (fractions allowed)")
        ->type_name("SECONDS");
    app.add_option("--count", count, "Number of rounds (default 1)")->type_name("N");
    app.add_flag("--csv", options.csv, "Print CSV: a header, then one row per round");
    app.add_option("--library", options.library, "Load this library file instead of the default")
        ->type_name("PATH");
    app.add_flag("--revision", options.revision, "Print the library's revision and exit");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success))
            return app.exit(e);
        return usage_error(e.what());
    }

    Problem problem;
    if (delay)
        problem = parse_delay(*delay, options.delay_ms);
    if (problem.empty() && measure)
        problem = parse_measure(*measure, options.read_fpm, options.read_f);
    if (problem.empty() && every) {
        double seconds = 0;
        problem = parse_every(*every, seconds);
        options.every_seconds = seconds;
    }
    if (problem.empty() && count)
        problem = parse_count(*count, options.count);
    if (problem.empty() && options.library && options.library->empty())
        problem = "--library needs a file name";
    if (problem.empty() && !options.revision) {
        if (!address)
            problem = "ADDRESS is required";
        else
            problem = parse_ipv4(*address, options.address);
    }
    if (!problem.empty())
        return usage_error(problem);
    if (address)
        options.address_text = *address;
    return std::nullopt;
}

}  // namespace marvok::read
