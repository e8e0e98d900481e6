#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace marvok::test {

ProcessResult run_process(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                          const std::vector<std::string>& env)
{
    using clock = std::chrono::steady_clock;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    // The child gets nothing else of ours: an in-process instrument's
    // listener inherited by it would keep answering connects after the
    // instrument has stopped.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e)
        env_strings.emplace_back(*e);
    env_strings.insert(env_strings.end(), env.begin(), env.end());
    std::vector<char*> envp, args;
    for (auto& e : env_strings)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    for (auto& a : argv_copy)
        args.push_back(a.data());
    args.push_back(nullptr);

    const auto start = clock::now();
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }

    // Read until the child has exited and its pipes are drained. A grandchild
    // (wineserver, say) may hold the pipes open for longer, so the child's
    // exit, not the pipes' end, finishes the run.
    ProcessResult result;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int status = 0;
    bool exited = false;
    for (;;) {
        if (!exited) {
            const pid_t done = waitpid(pid, &status, WNOHANG);
            exited = done == pid;
        }
        const auto left = limit - std::chrono::duration_cast<std::chrono::milliseconds>(
                                      clock::now() - start);
        if (!exited && left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            exited = true;
        }
        const int wait_ms = exited ? 0 : static_cast<int>(std::min<long long>(left.count(), 20));
        const int ready = poll(fds, 2, wait_ms);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0) {
            if (exited)
                break;
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
        if (fds[0].fd < 0 && fds[1].fd < 0 && exited)
            break;
    }
    for (auto& p : fds)
        if (p.fd >= 0)
            close(p.fd);
    if (!exited)
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }

    result.elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - start);
    if (!result.timed_out && WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    return result;
}

}  // namespace marvok::test
