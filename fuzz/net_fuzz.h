// A socket layer for fuzzing the client: every function of net.h without a
// network. Connects and waits always succeed, sends are taken whole, and
// receives deliver the next pieces of a byte stream the fuzz target hands
// over, laid out as a sequence of
//   L b1 .. bL         L < 0xFE: a piece of L bytes (0: the peer closed)
//   FE H L b1 .. bN    a piece of N = H * 256 + L bytes
//   FF                 the receive fails, as on a reset connection
// A piece longer than the receive's capacity is delivered over several
// receives, as TCP does; the end of the stream reads as the peer closing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz_net {

class Stream {
public:
    Stream(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    // What one receive of `capacity` bytes delivers into `out`.
    int receive(std::uint8_t* out, int capacity);

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
    std::size_t pending_ = 0;  // bytes of the current piece not yet received
};

// Makes `stream` the one later receives read from.
void use(Stream* stream);

// What the calls since the last reset_activity() did.
struct Delivery {
    int result;              // what the receive returned
    std::uint8_t function;   // byte 7 of the receiving buffer after it
};
struct Activity {
    std::vector<Delivery> receives;
    int sends = 0;
    std::vector<std::uint8_t> sent;  // the last send's bytes
    long startups = 0, cleanups = 0;
};
const Activity& activity();
void reset_activity();
// Sockets made and not yet closed, over the whole run.
int sockets_open();

}  // namespace fuzz_net
