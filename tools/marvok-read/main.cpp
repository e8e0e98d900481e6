// marvok-read: reads an instrument's measurements through the Marvok library,
// loaded by file name and resolved by function name as any host does it.
#include "dynlib.h"
#include "interrupt.h"
#include "marvok.h"
#include "options.h"
#include "output.h"
#include "progress.h"
#include "schedule.h"
#include "summary.h"
#include "terminal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace marvok::read {

namespace {

using RevisionFunction = double(MARVOK_CALL*)(void);
using ReadFunction = double(MARVOK_CALL*)(short, short, short, short, short);

// Calling through a pointer of the wrong convention would corrupt the stack
// on 32-bit Windows; tie the types to the header's declarations.
static_assert(std::is_same_v<RevisionFunction, decltype(&MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION)>);
static_assert(std::is_same_v<ReadFunction, decltype(&MARVOK_MODBUS_READ_FPM)>);
static_assert(std::is_same_v<ReadFunction, decltype(&MARVOK_MODBUS_READ_F)>);

constexpr const char* PROGRAM = "marvok-read";

class Library {
public:
    Library() = default;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library() { dynlib::close(handle_); }

    // Loads the library and resolves its functions; on failure says why on
    // stderr and returns false.
    bool load(const std::optional<std::string>& requested)
    {
        std::string where;
        const std::string path = choose_path(requested, where);
        std::string error;
        handle_ = dynlib::open(path, error);
        if (!handle_) {
            std::fprintf(stderr, "%s: cannot load the library %s: %s\n", PROGRAM, where.c_str(),
                         error.c_str());
            return false;
        }
        return resolve("MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION", revision, path) &&
               resolve("MARVOK_MODBUS_READ_FPM", fpm, path) &&
               resolve("MARVOK_MODBUS_READ_F", f, path);
    }

    RevisionFunction revision = nullptr;
    ReadFunction fpm = nullptr;
    ReadFunction f = nullptr;

private:
    // The file to hand to the loader, and how to name it in messages.
    static std::string choose_path(const std::optional<std::string>& requested, std::string& where)
    {
        namespace fs = std::filesystem;
        std::error_code ignored;
        if (requested) {
            fs::path path(*requested);
            // A bare name that exists here means this file: the loader would
            // otherwise search its own directories and might load another.
            if (!path.has_parent_path() && fs::is_regular_file(path, ignored))
                path = fs::path(".") / path;
            where = in_quotes(*requested);
            return path.make_preferred().string();
        }
        const std::string directory = dynlib::executable_directory();
        if (!directory.empty()) {
            const fs::path beside = fs::path(directory) / MARVOK_LIBRARY_FILE;
            if (fs::exists(beside, ignored)) {
                where = in_quotes(beside.string());
                return beside.string();
            }
        }
        where = std::string(MARVOK_LIBRARY_FILE) + " (not next to " + PROGRAM +
                ", nor found by the system's search)";
        return MARVOK_LIBRARY_FILE;
    }

    template <typename Function>
    bool resolve(const char* name, Function& function, const std::string& path)
    {
        std::string error;
        const dynlib::Function found = dynlib::symbol(handle_, name, error);
        if (!found) {
            std::fprintf(stderr, "%s: the library '%s' has no function %s: %s\n", PROGRAM,
                         path.c_str(), name, error.c_str());
            return false;
        }
        function = reinterpret_cast<Function>(found);
        return true;
    }

    dynlib::Handle handle_ = nullptr;
};

// Writes `text` out at once; false, with the reason on stderr, when the
// output cannot be written (a full disk, a closed pipe): the run must not
// then end as a success.
bool written(const std::string& text)
{
    if (text.empty())
        return true;
    if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    std::fprintf(stderr, "%s: cannot write the output: %s\n", PROGRAM, std::strerror(errno));
    return false;
}

struct Measurement {
    MeasurementName name;
    ReadFunction read;
};

class Reader {
public:
    Reader(const Options& options, std::vector<Measurement> measurements)
        : options_(options),
          measurements_(std::move(measurements)),
          format_(options.format, options.plant, names()),
          summary_(names(), options.targets),
          progress_(!options.quiet && terminal::is_terminal(terminal::Stream::error) &&
                    (options.plant || options.count > 1)),
          shared_terminal_(terminal::is_terminal(terminal::Stream::output))
    {
    }

    int run()
    {
        interrupt::install(progress_.enabled());
        const bool written = write(format_.header()) && poll();
        progress_.clear();
        if (options_.summary.value_or(options_.plant || interrupted_)) {
            std::string rounds = std::to_string(rounds_started_);
            if (interrupted_)
                rounds += " of " + std::to_string(options_.count) + " rounds, interrupted";
            else
                rounds += rounds_started_ == 1 ? " round" : " rounds";
            std::fprintf(stderr, "summary: %s\n%s", rounds.c_str(), summary_.table().c_str());
            std::fflush(stderr);
        }
        if (!written)
            return exit_no_output;
        if (worst_ == Outcome::no_connection)
            return exit_no_connection;
        if (worst_ == Outcome::no_reply)
            return exit_no_reply;
        return exit_all_read;
    }

private:
    std::vector<MeasurementName> names() const
    {
        std::vector<MeasurementName> names;
        for (const Measurement& m : measurements_)
            names.push_back(m.name);
        return names;
    }

    // Every round until the count, a stop asked for, or output that cannot
    // be written (then false). Each row is written out as soon as it is
    // read, so that a run that is cut short keeps every row so far.
    bool poll()
    {
        std::optional<Schedule> schedule;
        if (options_.every_seconds)
            schedule.emplace(*options_.every_seconds);
        for (std::uint64_t round = 0; round < options_.count; ++round) {
            if (round > 0 && schedule && !schedule->wait_for_next_slot(interrupt::requested)) {
                interrupted_ = true;
                return true;
            }
            round_failures_ = {};
            for (std::size_t i = 0; i < options_.targets.size(); ++i) {
                if (interrupt::requested()) {
                    interrupted_ = true;
                    return true;
                }
                if (i == 0)
                    ++rounds_started_;
                show_progress(i);
                const Row row = read(options_.targets[i]);
                summary_.add(i, row);
                // Reading on when nothing can be written would lose every value.
                if (!write(format_.lines(row)))
                    return false;
            }
            // The line stays up while the next round is awaited: show it whole.
            show_progress(options_.targets.size(), true);
        }
        return true;
    }

    // One row: every selected measurement of one instrument, also after a
    // stop was asked for, so that no row is left half read.
    Row read(const Target& target)
    {
        Row row;
        row.time = std::chrono::system_clock::now();
        row.target = &target;
        const auto& a = target.parts;
        for (const Measurement& m : measurements_) {
            Reading reading;
            reading.value = m.read(a[0], a[1], a[2], a[3], options_.delay_ms);
            if (reading.value == MARVOK_RESULT_NO_CONNECTION)
                reading.outcome = Outcome::no_connection;
            else if (reading.value == MARVOK_RESULT_NO_REPLY)
                reading.outcome = Outcome::no_reply;
            if (reading.outcome != Outcome::ok) {
                progress_.clear();
                std::fprintf(stderr, "%s: %s %s reading %s\n", PROGRAM,
                             reading.outcome == Outcome::no_connection ? "no connection to" : "no reply from",
                             target.text.c_str(), m.name.label);
                std::fflush(stderr);
                worst_ = std::max(worst_, reading.outcome);
            }
            row.readings.push_back(reading);
        }
        const Outcome status = row.status();
        if (status == Outcome::no_connection)
            ++round_failures_.no_connection;
        else if (status == Outcome::no_reply)
            ++round_failures_.no_reply;
        return row;
    }

    bool write(const std::string& text)
    {
        // Output to the terminal the progress line is on takes its place.
        if (shared_terminal_ && !text.empty())
            progress_.clear();
        return written(text);
    }

    void show_progress(std::size_t done, bool at_once = false)
    {
        std::string text = "round " + std::to_string(rounds_started_) + "/" +
                           std::to_string(options_.count) + ": " + std::to_string(done) + "/" +
                           std::to_string(options_.targets.size()) + " instruments";
        if (round_failures_.no_connection)
            text += ", " + std::to_string(round_failures_.no_connection) + " no connection";
        if (round_failures_.no_reply)
            text += ", " + std::to_string(round_failures_.no_reply) + " no reply";
        progress_.show(text, at_once);
    }

    const Options& options_;
    std::vector<Measurement> measurements_;
    RowFormat format_;
    Summary summary_;
    ProgressLine progress_;
    bool shared_terminal_;
    Outcome worst_ = Outcome::ok;
    std::uint64_t rounds_started_ = 0;
    bool interrupted_ = false;  // stopped before the last round on request
    struct {
        std::uint64_t no_connection = 0, no_reply = 0;
    } round_failures_;
};

}  // namespace

int run(int argc, char** argv)
{
    Options options;
    if (const std::optional<int> exit_code = parse_command_line(argc, argv, options))
        return *exit_code;

    Library library;
    if (!library.load(options.library))
        return exit_no_library;

    if (options.revision) {
        return written(format_value(library.revision()) + "\n") ? exit_all_read : exit_no_output;
    }

    std::vector<Measurement> measurements;
    if (options.read_fpm)
        measurements.push_back({{"FPM", "fpm"}, library.fpm});
    if (options.read_f)
        measurements.push_back({{"F", "f"}, library.f});
    return Reader(options, std::move(measurements)).run();
}

}  // namespace marvok::read

int main(int argc, char** argv) { return marvok::read::run(argc, argv); }
