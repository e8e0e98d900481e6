#include "options.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

namespace marvok::read {

namespace {

constexpr const char* PROGRAM = "marvok-read";

Problem parse_delay(std::string_view text, short& delay_ms)
{
    int value = 0;
    if (!whole_decimal(text, value) || value > std::numeric_limits<short>::max())
        return "--delay must be a whole number of milliseconds from 0 to 32767, not " + in_quotes(text);
    delay_ms = static_cast<short>(value);
    return {};
}

Problem parse_count(std::string_view text, std::uint64_t& count)
{
    if (!whole_decimal(text, count) || count == 0)
        return "--count must be a whole number of rounds, 1 or more, not " + in_quotes(text);
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
        return "--every must be a number of seconds " + std::string(range) + ", not " + in_quotes(text);
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
    return "--measure must be fpm, f or both, not " + in_quotes(text);
}

// The instruments from the positional arguments, then from each address
// file in turn.
Problem gather_targets(const std::vector<std::string>& positionals,
                       const std::vector<std::string>& files, Options& options)
{
    AddressList list;
    bool ranges = false;
    for (const std::string& text : positionals) {
        Span span;
        Problem problem = parse_span(text, span);
        if (problem.empty())
            problem = list.add(span);
        if (!problem.empty())
            return problem;
        ranges = ranges || span.size() > 1 || text.find('-') != std::string::npos;
    }
    bool stdin_read = false;
    for (const std::string& name : files) {
        if (name.empty())
            return "--addresses needs a file name, or - for standard input";
        Problem problem;
        if (name == "-") {
            if (stdin_read)
                return "--addresses - can be given once: standard input is read only once";
            stdin_read = true;
            problem = read_address_file("standard input", stdin, list);
        } else if (std::FILE* file = std::fopen(name.c_str(), "r")) {
            problem = read_address_file(name, file, list);
            std::fclose(file);
        } else {
            problem = "cannot open the address file " + in_quotes(name) + ": " + std::strerror(errno);
        }
        if (!problem.empty())
            return problem;
    }
    if (list.addresses().empty())
        return files.empty() ? "ADDRESS is required (or --addresses FILE)"
                             : "the address files list no address";
    for (const Ipv4 address : list.addresses())
        options.targets.push_back(target_of(address));
    options.plant = positionals.size() > 1 || ranges || !files.empty();
    return {};
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
    "Reads the FPM and F measurements of one instrument or of a plant full of\n"
    "them through the Marvok library, loaded at run time as a host application\n"
    "loads it.";

const char* const FOOTER = R"(Addresses:
  ADDRESS is an IPv4 address (192.168.0.10) or a range FIRST-LAST of them
  (192.168.0.10-192.168.0.250; ranges run across parts: 10.0.0.250-10.0.1.5).
  An address file has one address or range per line; blank lines and
  everything after "#" are ignored. Addresses come in the order first given
  (arguments, then files) and each is read once per round, however often it
  is listed. At most 65536 addresses in all, every address of a range
  counted.

Rounds:
  A round reads every instrument once, one after the other: the library
  serialises its calls, so a round of N instruments takes at least N x 100 ms
  (N x 200 ms for both measurements), longer with --delay.
  With --every, rounds start every SECONDS on a fixed grid counted from the
  first one, so they do not drift. A round that overruns its period is
  followed by the next one at once; slots missed entirely are skipped, never
  made up in a burst. Without --every, rounds follow each other at once.

Output:
  Values are printed in the shortest form that reads back as the same number.
  A failed measurement is reported on stderr as "no connection" (the
  instrument did not accept a connection) or "no reply" (it accepted but did
  not answer); its value is never printed.
  Text: one line per measurement read, "FPM 350.25", "F 50"; in a plant run
  (several addresses, a range or --addresses) each line starts with the
  address: "192.168.0.10 FPM 350.25".
  --csv: a header line, then one row per instrument per round: time, address,
  then fpm and/or f; a failed measurement leaves its cell empty. A plant run
  adds a last column, status: ok, no connection or no reply.
  --json: one object per line per instrument per round:
  {"time":"...","address":"...","fpm":350.25,"f":50.0,"status":"ok"}; a
  failed value is null; a value that is not a number is the string "nan",
  "inf" or "-inf".
  The time is ISO 8601 in UTC, taken when the instrument's read began. Every
  line is written out as soon as it is complete.
  The status of a row is its worst measurement: no connection, then no reply.

Summary:
  Printed on stderr at the end of a plant run, after Ctrl-C, or with
  --summary: per instrument the rows read, how many were ok, no connection
  and no reply, and the smallest, mean and largest value of each measurement
  (values that are not finite numbers are left out).

Progress and Ctrl-C:
  When stderr is a terminal, a run of more than one round or instrument keeps
  one progress line there, rewritten as it goes; never in a pipe or a file.
  Ctrl-C (or SIGTERM) finishes the instrument being read (a library call
  cannot be cut short; one that gets no answer takes 8 s), prints the
  summary and exits with the status so far; a second Ctrl-C stops at once.

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

    std::vector<std::string> addresses, files;
    std::optional<std::string> delay, measure, every, count;
    bool csv = false, json = false, summary = false, no_summary = false;
    app.add_option("ADDRESS", addresses, "IPv4 address (192.168.0.10) or range FIRST-LAST")
        ->type_name("");
    app.add_option("--addresses", files, "Addresses and ranges from FILE, one a line (- stdin)")
        ->type_name("FILE")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--delay", delay, "Pacing delay passed to the library, 0-32767 (default 0)")
        ->type_name("MS");
    app.add_option("--measure", measure, "What to read: fpm, f or both (default both)")
        ->type_name("WHAT");
    app.add_option("--every", every, "Start a round every SECONDS (fractions allowed)")
        ->type_name("SECONDS");
    app.add_option("--count", count, "Number of rounds (default 1)")->type_name("N");
    app.add_flag("--csv", csv, "Print CSV rows, one per instrument per round");
    app.add_flag("--json", json, "Print JSON objects, one a line, per instrument per round");
    app.add_flag("--summary", summary, "Print the summary on stderr at the end");
    app.add_flag("--no-summary", no_summary, "Never print the summary, not even after Ctrl-C");
    app.add_flag("-q,--quiet", options.quiet, "No progress line on the terminal");
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

    options.format = csv ? Format::csv : json ? Format::json : Format::text;
    if (summary || no_summary)
        options.summary = summary;
    Problem problem;
    if (csv && json)
        problem = "--csv and --json cannot be used together";
    if (summary && no_summary)
        problem = "--summary and --no-summary cannot be used together";
    if (problem.empty() && delay)
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
    if (problem.empty() && !options.revision)
        problem = gather_targets(addresses, files, options);
    if (!problem.empty())
        return usage_error(problem);
    return std::nullopt;
}

}  // namespace marvok::read
