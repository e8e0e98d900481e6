// The load generator: many Modbus/TCP clients driven from one thread with
// epoll, each with one request in flight, every reply checked byte for byte.
// Two shapes of load: keep-alive clients that send the next request as soon
// as a reply is in, and new connections (connect, request, reply, close) as
// each host call makes. Every run is bounded in time and in count.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace marvok::bench {

struct LoadResult {
    std::uint64_t replies = 0;  // correct replies counted in the measured window
    std::uint64_t errors = 0;   // wrong replies, failed connects, lost connections
    double seconds = 0;         // length of the measured window
    std::string first_error;    // what went wrong first, if anything
    double rate() const { return seconds > 0 ? static_cast<double>(replies) / seconds : 0; }
};

struct LoadLimits {
    std::chrono::milliseconds warmup{200};     // run but not counted
    std::chrono::milliseconds measure{2000};   // counted
    std::uint64_t max_transactions = 100'000'000;
    // Called when the counted window opens (after the warm-up).
    std::function<void()> window_opens;
};

sockaddr_in endpoint(const std::string& address, std::uint16_t port = 502);

// `clients` connections to `target`, each sending the next request as soon
// as its reply is in.
LoadResult keep_alive_load(const sockaddr_in& target, int clients, const LoadLimits& limits);

// New connections, `in_flight` at a time, to the targets in turn; each
// connects, sends one request, checks the reply and closes. Client sockets
// are bound to source addresses in turn (127.0.0.0/8, ports chosen by the
// kernel), so that the run does not use up the ephemeral ports of one source.
// With `each_once`, every target gets exactly one transaction and the run ends
// when all are done (or the time is up): a sweep; warmup is then skipped.
struct ConnectionLoad {
    std::vector<sockaddr_in> targets;
    std::vector<in_addr> sources;  // empty: the kernel picks
    int in_flight = 64;
    bool each_once = false;
};
LoadResult connection_load(const ConnectionLoad& load, const LoadLimits& limits);

// `count` source addresses 127.S.x.y in a random /16 of the loopback range.
std::vector<in_addr> loopback_sources(int count);

}  // namespace marvok::bench
