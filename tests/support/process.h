// Runs a program as a child process with a bounded wait and collects what it
// printed, for tests that drive our programs (and Wine) from outside.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace marvok::test {

struct ProcessResult {
    int exit_code = -1;      // -1 when it was killed or died from a signal
    bool timed_out = false;  // killed after the time limit
    std::string out, err;
    std::chrono::milliseconds elapsed{0};
};

// argv[0] is the program's path. `env` entries ("NAME=value") are added to
// this process's environment.
ProcessResult run_process(const std::vector<std::string>& argv,
                          std::chrono::milliseconds limit = std::chrono::seconds(60),
                          const std::vector<std::string>& env = {});

}  // namespace marvok::test
