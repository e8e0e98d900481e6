// marvok-read: reads an instrument's measurements through the Marvok library,
// loaded by file name and resolved by function name as any host does it.
#include "dynlib.h"
#include "marvok.h"
#include "options.h"

#include <charconv>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <thread>
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

std::string quoted(const std::string& text)
{
    std::string result;
    result.reserve(text.size() + 2);
    result.append(1, '\'').append(text).append(1, '\'');
    return result;
}

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
            where = quoted(*requested);
            return path.make_preferred().string();
        }
        const std::string directory = dynlib::executable_directory();
        if (!directory.empty()) {
            const fs::path beside = fs::path(directory) / MARVOK_LIBRARY_FILE;
            if (fs::exists(beside, ignored)) {
                where = quoted(beside.string());
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

// The shortest text that reads back as the same value. The library returns
// a single-precision value widened to double, so the single's shortest form
// is used when it is exact: "350.1", not "350.100006103515625".
std::string format_value(double value)
{
    char text[64];
    std::to_chars_result result;
    if (std::isfinite(value) && std::fabs(value) <= std::numeric_limits<float>::max() &&
        static_cast<double>(static_cast<float>(value)) == value)
        result = std::to_chars(text, text + sizeof text, static_cast<float>(value));
    else
        result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string iso8601_utc(std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(when);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss time{ms - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                  int(time.minutes().count()), int(time.seconds().count()),
                  int(time.subseconds().count()));
    return text;
}

// Start times on a steady grid of one period from the first round.
class Schedule {
public:
    explicit Schedule(double period_seconds)
        : start_(std::chrono::steady_clock::now()), period_(period_seconds)
    {
    }

    // Waits for the next slot; when that slot has already passed, returns at
    // once and skips every slot that has passed entirely.
    void wait_for_next_slot()
    {
        ++slot_;
        const auto now = std::chrono::steady_clock::now();
        const auto due = start_ + offset(slot_);
        if (now < due) {
            std::this_thread::sleep_until(due);
            return;
        }
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double current = std::floor(elapsed / period_);
        if (current > static_cast<double>(slot_))
            slot_ = static_cast<std::uint64_t>(current);
    }

private:
    std::chrono::steady_clock::duration offset(std::uint64_t slot) const
    {
        // Beyond a century the exact time no longer matters, and the cap
        // keeps the conversion within the clock's range.
        constexpr double CENTURY_SECONDS = 100 * 366 * 86400.0;
        const double seconds = std::min(static_cast<double>(slot) * period_, CENTURY_SECONDS);
        return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds));
    }

    std::chrono::steady_clock::time_point start_;
    double period_;
    std::uint64_t slot_ = 0;
};

struct Measurement {
    const char* label;   // in text and messages: "FPM", "F"
    const char* column;  // in the CSV header: "fpm", "f"
    ReadFunction read;
};

// Writes out what is buffered; false, with the reason on stderr, when the
// output cannot be written (a full disk, a closed pipe): the run must not
// then end as a success.
bool output_written()
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    std::fprintf(stderr, "%s: cannot write the output: %s\n", PROGRAM, std::strerror(errno));
    return false;
}

class Reader {
public:
    Reader(const Options& options, std::vector<Measurement> measurements)
        : options_(options), measurements_(std::move(measurements))
    {
    }

    int run()
    {
        if (options_.csv) {
            std::string header = "time,address";
            for (const Measurement& m : measurements_)
                header.append(1, ',').append(m.column);
            std::printf("%s\n", header.c_str());
            if (!output_written())
                return exit_no_output;
        }
        std::optional<Schedule> schedule;
        if (options_.every_seconds)
            schedule.emplace(*options_.every_seconds);
        // Each round is flushed as soon as it is read, so that a log that is
        // interrupted keeps every round so far.
        for (std::uint64_t round = 0; round < options_.count; ++round) {
            if (round > 0 && schedule)
                schedule->wait_for_next_slot();
            read_round();
            // Reading on when nothing can be written would lose every value.
            if (!output_written())
                return exit_no_output;
        }
        if (no_connection_)
            return exit_no_connection;
        if (no_reply_)
            return exit_no_reply;
        return exit_all_read;
    }

private:
    void read_round()
    {
        const auto started = std::chrono::system_clock::now();
        std::string row = iso8601_utc(started) + "," + options_.address_text;
        const auto& a = options_.address;
        for (const Measurement& m : measurements_) {
            const double value = m.read(a[0], a[1], a[2], a[3], options_.delay_ms);
            const char* failure = nullptr;
            if (value == MARVOK_RESULT_NO_CONNECTION) {
                failure = "no connection to";
                no_connection_ = true;
            } else if (value == MARVOK_RESULT_NO_REPLY) {
                failure = "no reply from";
                no_reply_ = true;
            }
            if (failure) {
                std::fprintf(stderr, "%s: %s %s reading %s\n", PROGRAM, failure,
                             options_.address_text.c_str(), m.label);
                std::fflush(stderr);
                row += ",";
            } else if (options_.csv) {
                row += ',';
                row += format_value(value);
            } else {
                std::printf("%s %s\n", m.label, format_value(value).c_str());
            }
        }
        if (options_.csv)
            std::printf("%s\n", row.c_str());
    }

    const Options& options_;
    std::vector<Measurement> measurements_;
    bool no_connection_ = false;
    bool no_reply_ = false;
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
        std::printf("%s\n", format_value(library.revision()).c_str());
        return output_written() ? exit_all_read : exit_no_output;
    }

    std::vector<Measurement> measurements;
    if (options.read_fpm)
        measurements.push_back({"FPM", "fpm", library.fpm});
    if (options.read_f)
        measurements.push_back({"F", "f", library.f});
    return Reader(options, std::move(measurements)).run();
}

}  // namespace marvok::read

int main(int argc, char** argv) { return marvok::read::run(argc, argv); }
