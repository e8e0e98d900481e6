// What the host tool's tests share: running marvok-read and reading what it
// printed, scratch directories, and a child that can be signalled while it
// runs.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

extern char** environ;

namespace marvok::test {

using namespace std::chrono_literals;

// marvok-read with `args`, loading the library under test.
inline ProcessResult run_read(std::vector<std::string> args, const std::vector<std::string>& env = {},
                              std::chrono::milliseconds limit = 30s)
{
    args.insert(args.begin(), MARVOK_READ_PROGRAM);
    args.insert(args.end(), {"--library", MARVOK_LIBRARY});
    return run_process(args, limit, env);
}

inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            lines.push_back(text.substr(begin));
            break;
        }
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

inline std::string describe(const ProcessResult& r)
{
    return "exit " + std::to_string(r.exit_code) + (r.timed_out ? " (timed out)" : "") +
           "\nstdout:\n" + r.out + "stderr:\n" + r.err;
}

// Parses the tool's "YYYY-MM-DDTHH:MM:SS.mmmZ".
inline std::chrono::system_clock::time_point parse_timestamp(const std::string& text)
{
    using namespace std::chrono;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &y, &mo, &d, &h, &mi, &s, &ms) != 7)
        throw std::runtime_error("not a timestamp: " + text);
    const sys_days day{year{y} / month{static_cast<unsigned>(mo)} / static_cast<unsigned>(d)};
    return day + hours{h} + minutes{mi} + seconds{s} + milliseconds{ms};
}

// The time stamp that opens each CSV row, the header line skipped.
inline std::vector<std::chrono::system_clock::time_point> row_times(const std::vector<std::string>& lines)
{
    std::vector<std::chrono::system_clock::time_point> times;
    for (std::size_t i = 1; i < lines.size(); ++i)
        times.push_back(parse_timestamp(lines[i].substr(0, lines[i].find(','))));
    return times;
}

// A scratch directory, removed with everything in it.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "marvok-tool-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

    // Writes `content` to the file `name` in the directory; returns its path.
    std::string file(const std::string& name, const std::string& content) const
    {
        const auto path = path_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

private:
    std::filesystem::path path_;
};

inline std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// marvok-read running as a child whose stdout and stderr go to files, so
// that a test can watch its rows arrive and signal it meanwhile. Killed at
// the latest when destroyed.
class Child {
public:
    explicit Child(std::vector<std::string> args)
    {
        args.insert(args.begin(), MARVOK_READ_PROGRAM);
        args.insert(args.end(), {"--library", MARVOK_LIBRARY});
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 2, err_path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            throw std::runtime_error(std::string("cannot start marvok-read: ") + std::strerror(rc));
    }
    ~Child()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void signal(int number) { kill(pid_, number); }

    // Waits at most `limit` until stdout holds `count` lines; false if not.
    bool wait_for_lines(std::size_t count, std::chrono::milliseconds limit)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (lines_of(out()).size() < count) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    struct Ended {
        bool timed_out = true;  // still running after the limit (then killed)
        int exit_code = -1;     // when it exited
        int signal = 0;       // when a signal ended it
        std::chrono::milliseconds after{0};  // how long the wait took
    };

    // Waits at most `limit` for the child to end.
    Ended wait(std::chrono::milliseconds limit)
    {
        Ended ended;
        const auto start = std::chrono::steady_clock::now();
        int status = 0;
        for (;;) {
            const pid_t done = waitpid(pid_, &status, WNOHANG);
            if (done == pid_)
                break;
            if (std::chrono::steady_clock::now() - start > limit) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                pid_ = -1;
                return ended;
            }
            std::this_thread::sleep_for(5ms);
        }
        pid_ = -1;
        ended.after = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        ended.timed_out = false;
        ended.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        ended.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return ended;
    }

    std::string out() const { return read_file(out_path()); }
    std::string err() const { return read_file(err_path()); }

private:
    std::string out_path() const { return (dir_.path() / "stdout").string(); }
    std::string err_path() const { return (dir_.path() / "stderr").string(); }

    TempDir dir_;
    pid_t pid_ = -1;
};

}  // namespace marvok::test
