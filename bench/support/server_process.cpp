#include "server_process.h"

#include "loopback.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace marvok::bench {

namespace {

using clock = std::chrono::steady_clock;

bool wait_exit(pid_t pid, std::chrono::milliseconds limit, int& status)
{
    const auto deadline = clock::now() + limit;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR))
            return true;
        if (clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void kill_and_reap(pid_t pid)
{
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::unique_ptr<ServerProcess> ServerProcess::start(const std::vector<std::string>& argv, std::size_t ready_lines,
                                                    std::chrono::milliseconds limit, std::string& why,
                                                    bool quiet)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (quiet)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // The server must not keep the benchmark's sockets (or another server's
    // pipe) alive.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }

    // Ready lines are counted as they come; the pipe stays open afterwards
    // (a server writing to a closed pipe could die of SIGPIPE).
    std::string pending;
    std::size_t seen = 0;
    const auto deadline = clock::now() + limit;
    while (seen < ready_lines) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
        if (left.count() <= 0) {
            why = argv[0] + " was not ready within " + std::to_string(limit.count()) + " ms";
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        char buffer[65536];
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            why = argv[0] + " ended before it was ready";
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t from = 0;
        for (std::size_t nl; (nl = pending.find('\n', from)) != std::string::npos; from = nl + 1)
            if (pending.compare(from, 13, "listening on ") == 0)
                ++seen;
        pending.erase(0, from);
    }
    if (seen < ready_lines) {
        close(out[0]);
        kill_and_reap(pid);
        return nullptr;
    }
    return std::unique_ptr<ServerProcess>(new ServerProcess(pid, out[0]));
}

ServerProcess::~ServerProcess()
{
    stop();
    close(out_);
}

std::optional<long> ServerProcess::status_kib(const char* field) const
{
    if (reaped_)
        return std::nullopt;
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::stol(line.substr(prefix.size()));
    return std::nullopt;
}

bool ServerProcess::stop(std::chrono::milliseconds limit)
{
    if (reaped_)
        return true;
    reaped_ = true;
    kill(pid_, SIGTERM);
    int status = 0;
    if (!wait_exit(pid_, limit, status)) {
        kill_and_reap(pid_);
        return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

long raise_descriptor_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
    return static_cast<long>(limit.rlim_cur);
}

std::string random_loopback_text() { return test::random_loopback().text; }

}  // namespace marvok::bench
