// A server program running as a child, for tests that start it, talk to it
// and stop it: its stdout and stderr on pipes, read a line at a time, and
// every wait bounded. A child still running when the object goes is killed
// and waited for, so no test leaves one behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace marvok::test {

class RunningProgram {
public:
    // argv[0] is the program's path. The child inherits no descriptor but
    // stdout and stderr (stdin is /dev/null).
    explicit RunningProgram(const std::vector<std::string>& argv);
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    // The next line of stdout or stderr, without its line end ("\n" or a
    // Windows program's "\r\n"); nothing if none comes within the wait or the
    // output ends first.
    std::optional<std::string> line(std::chrono::milliseconds within);
    std::optional<std::string> error_line(std::chrono::milliseconds within);
    // Exit status, or -signal; nothing if it does not end within the wait.
    std::optional<int> exit_status(std::chrono::milliseconds within);
    void signal(int number);
    // SIGKILL, then waits at most `within`; true once it is gone.
    bool kill_and_wait(std::chrono::milliseconds within);
    // What is left of stdout or stderr up to its end or the wait (call once
    // the program has exited).
    std::string rest_of_stdout(std::chrono::milliseconds within);
    std::string stderr_text(std::chrono::milliseconds within);

private:
    struct Stream {
        int fd = -1;
        std::string buffer;
    };
    static std::optional<std::string> next_line(Stream& stream, std::chrono::milliseconds within);
    static std::string drain(Stream& stream, std::chrono::milliseconds within);

    pid_t pid_ = -1;
    Stream out_, err_;
};

}  // namespace marvok::test
