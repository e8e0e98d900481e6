// Small helpers the simulator's tests share: a request and its reply, the
// float a reply carries, a bounded wait for a condition, and plant files
// that remove themselves.
#pragma once

#include "instrument.h"

#include <unistd.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace marvok::test {

// The reply to `request`, as much of it as came within the wait.
inline Bytes ask(RawClient& client, const Bytes& request,
                 std::chrono::milliseconds wait = std::chrono::milliseconds(2000))
{
    client.send(request);
    return client.receive_frame(wait).bytes;
}

// The float of a reply to a read of two registers (low-order word first);
// NaN for any other reply.
inline float value_of(const Bytes& reply)
{
    if (reply.size() != 13)
        return NAN;
    return std::bit_cast<float>(
        static_cast<std::uint32_t>(reply[11] << 24 | reply[12] << 16 | reply[9] << 8 | reply[10]));
}

// Polls `condition` until it holds or `within` is over.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds within = std::chrono::milliseconds(2000))
{
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A plant file of a test's own, removed afterwards.
class PlantFile {
public:
    explicit PlantFile(const std::string& text)
        : path_(std::filesystem::temp_directory_path() /
                ("marvok-plant-" + std::to_string(getpid()) + "-" + std::to_string(count_++) + ".json"))
    {
        std::ofstream(path_) << text;
    }
    ~PlantFile() { std::filesystem::remove(path_); }
    PlantFile(const PlantFile&) = delete;
    PlantFile& operator=(const PlantFile&) = delete;
    std::string path() const { return path_.string(); }

private:
    static inline std::atomic<int> count_{0};
    std::filesystem::path path_;
};

}  // namespace marvok::test
