// A program run in the background for as long as a test needs it (a peer
// instrument, a packet capture): started with no descriptor of ours but its
// own stdout and stderr, waited on with a bounded wait for a line that says
// it is ready, and stopped with a signal, killed if it does not go in time.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace marvok::test {

class Background {
public:
    // argv[0] is looked up on PATH. Throws std::runtime_error if it cannot start.
    explicit Background(const std::vector<std::string>& argv);
    ~Background();  // stop()
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Reads its output until `text` appears in it at `from` or later (true),
    // or until it ends or `limit` has passed (false).
    bool wait_for(const std::string& text, std::chrono::milliseconds limit, std::size_t from = 0);
    // Sends `signal`, then waits up to `limit` for it to end; kills it after
    // that. Returns its exit status, or -1 if a signal ended it.
    int stop(int signal, std::chrono::milliseconds limit);
    // stdout and stderr as read so far (stop() reads the rest).
    const std::string& output() const { return output_; }

private:
    void read_some(int wait_ms);

    pid_t pid_ = -1;
    int pipe_ = -1;
    std::string output_;
    int status_ = -1;
};

}  // namespace marvok::test
