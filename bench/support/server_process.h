// A server program run as a child of a benchmark: started with its stdout on
// a pipe, ready once it has printed one "listening on" line per address, and
// stopped with SIGTERM (SIGKILL after a bounded wait) when destroyed. Servers
// run in processes of their own so that the benchmark's client and the
// server each get a core, as a host and an instrument would.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace marvok::bench {

class ServerProcess {
public:
    // Starts argv and waits at most `limit` for `ready_lines` lines starting
    // "listening on". Nothing when the program ended or stayed silent (it has
    // been killed then); `why` says which. Its stderr is ours, or /dev/null
    // when `quiet` (for probing what a program accepts).
    static std::unique_ptr<ServerProcess> start(const std::vector<std::string>& argv, std::size_t ready_lines,
                                                std::chrono::milliseconds limit, std::string& why,
                                                bool quiet = false);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    pid_t pid() const { return pid_; }
    // A field of /proc/PID/status in KiB (VmHWM: peak resident set; VmRSS:
    // resident now); nothing once the process is gone.
    std::optional<long> status_kib(const char* field) const;
    // SIGTERM, then SIGKILL if it has not ended within `limit`. True when it
    // exited with status 0 on SIGTERM.
    bool stop(std::chrono::milliseconds limit = std::chrono::seconds(5));

private:
    ServerProcess(pid_t pid, int out) : pid_(pid), out_(out) {}
    pid_t pid_;
    int out_;
    bool reaped_ = false;
};

// Raises this process's limit of open descriptors to the hard limit, for
// benchmarks and servers (which inherit it) that hold thousands of sockets.
// Returns the limit now in force.
long raise_descriptor_limit();

// A random address in 127.1.0.0/16 to 127.254.0.0/16 with its last part in
// 1..254, like the tests use.
std::string random_loopback_text();

}  // namespace marvok::bench
