// The command line of marvok-read: which instruments to read, what, how
// often and how to show it, checked completely before the library is
// touched.
#pragma once

#include "addresses.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace marvok::read {

enum ExitCode : int {
    exit_all_read = 0,
    exit_no_library = 1,   // the library did not load or lacks a function
    exit_usage = 2,
    exit_no_connection = 3,
    exit_no_reply = 4,
    exit_no_output = 5,    // what was read could not be written out
};

enum class Format { text, csv, json };

struct Options {
    std::vector<Target> targets;         // in the order first given, each once
    // A plant run: several addresses, a range or an address file. Its text
    // lines and CSV rows name the instrument; a run of a single ADDRESS keeps
    // the one-instrument shapes.
    bool plant = false;
    short delay_ms = 0;
    bool read_fpm = true;
    bool read_f = true;
    std::optional<double> every_seconds; // none: rounds follow each other at once
    std::uint64_t count = 1;
    Format format = Format::text;
    std::optional<bool> summary;         // none: for a plant run, and after Ctrl-C
    bool quiet = false;                  // no progress line
    std::optional<std::string> library;  // none: the platform's default file
    bool revision = false;
};

// Parses argv into `options`, reading address files (and standard input
// for "-"). Returns nothing when the program should go on, otherwise the
// exit code after help or version was printed (0) or a one-line error went
// to stderr (exit_usage).
std::optional<int> parse_command_line(int argc, char** argv, Options& options);

// Bounds of --every: the lower keeps the slot arithmetic exact, the upper
// keeps every scheduled time representable on the steady clock.
constexpr double EVERY_MIN_SECONDS = 0.001;
constexpr double EVERY_MAX_SECONDS = 86400.0;

}  // namespace marvok::read
