#include "sim_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace marvok::test {

namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

bool read_some(int fd, std::string& buffer, clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - clock::now());
        if (left.count() <= 0 || fd < 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char chunk[4096];
        const auto got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(got));
        return true;
    }
}

}  // namespace

RunningProgram::RunningProgram(const std::vector<std::string>& argv)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    if (pipe2(err, O_CLOEXEC) != 0) {
        const int error = errno;
        ::close(out[0]);
        ::close(out[1]);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(error));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<std::string> copy = argv;
    std::vector<char*> args;
    for (auto& arg : copy)
        args.push_back(arg.data());
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_.fd = out[0];
    err_.fd = err[0];
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot run " + argv.at(0) + ": " + std::strerror(rc));
    }
}

RunningProgram::~RunningProgram()
{
    kill_and_wait(std::chrono::seconds(10));
    ::close(out_.fd);
    ::close(err_.fd);
}

std::optional<std::string> RunningProgram::next_line(Stream& stream, milliseconds within)
{
    const auto deadline = clock::now() + within;
    for (;;) {
        if (const auto end = stream.buffer.find('\n'); end != std::string::npos) {
            auto text = stream.buffer.substr(0, end);
            stream.buffer.erase(0, end + 1);
            if (!text.empty() && text.back() == '\r')
                text.pop_back();
            return text;
        }
        if (!read_some(stream.fd, stream.buffer, deadline))
            return std::nullopt;
    }
}

std::string RunningProgram::drain(Stream& stream, milliseconds within)
{
    const auto deadline = clock::now() + within;
    while (read_some(stream.fd, stream.buffer, deadline)) {
    }
    return std::exchange(stream.buffer, {});
}

std::optional<std::string> RunningProgram::line(milliseconds within) { return next_line(out_, within); }
std::optional<std::string> RunningProgram::error_line(milliseconds within) { return next_line(err_, within); }
std::string RunningProgram::rest_of_stdout(milliseconds within) { return drain(out_, within); }
std::string RunningProgram::stderr_text(milliseconds within) { return drain(err_, within); }

std::optional<int> RunningProgram::exit_status(milliseconds within)
{
    if (pid_ <= 0)
        return std::nullopt;
    const auto deadline = clock::now() + within;
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
        if (clock::now() > deadline)
            return std::nullopt;
        std::this_thread::sleep_for(milliseconds(5));
    }
}

void RunningProgram::signal(int number)
{
    if (pid_ > 0)
        ::kill(pid_, number);
}

bool RunningProgram::kill_and_wait(milliseconds within)
{
    if (pid_ <= 0)
        return true;
    ::kill(pid_, SIGKILL);
    return exit_status(within).has_value();
}

}  // namespace marvok::test
