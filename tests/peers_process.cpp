#include "peers_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace marvok::test {

using Clock = std::chrono::steady_clock;

Background::Background(const std::vector<std::string>& argv)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<std::string> copy = argv;
    std::vector<char*> args;
    for (auto& a : copy)
        args.push_back(a.data());
    args.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    pipe_ = out[0];
}

Background::~Background() { stop(SIGTERM, std::chrono::seconds(5)); }

void Background::read_some(int wait_ms)
{
    if (pipe_ < 0)
        return;
    pollfd p{pipe_, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0)
        return;
    char buffer[4096];
    const ssize_t n = read(pipe_, buffer, sizeof buffer);
    if (n > 0) {
        output_.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
        close(pipe_);
        pipe_ = -1;
    }
}

bool Background::wait_for(const std::string& text, std::chrono::milliseconds limit, std::size_t from)
{
    const auto deadline = Clock::now() + limit;
    while (output_.find(text, from) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || pipe_ < 0)
            return false;
        read_some(static_cast<int>(std::min<long long>(left.count(), 50)));
    }
    return true;
}

int Background::stop(int signal, std::chrono::milliseconds limit)
{
    if (pid_ < 0)
        return status_;
    kill(pid_, signal);
    const auto deadline = Clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_)
            break;
        if (Clock::now() > deadline) {
            kill(pid_, SIGKILL);
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        read_some(10);
    }
    // What it wrote last; a grandchild holding the pipe does not stall us.
    for (int i = 0; i < 100 && pipe_ >= 0; ++i)
        read_some(10);
    if (pipe_ >= 0)
        close(pipe_);
    pipe_ = -1;
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
}

}  // namespace marvok::test
