// Fuzzes the simulator's stream framing over a real connection: a simulator
// runs in this process on a loopback address of its own, and each input is
// sent to it on a fresh connection in pieces, then the write side is shut.
// What comes back must be, byte for byte, the replies the pure protocol
// functions give for the whole frames in the stream, in order, followed by
// an orderly close: at once after a header that cannot start a frame (a
// protocol id other than 0, a length of 0, 1 or above 254), or after the
// client's own close when the stream ends inside a frame. The simulator must
// then have let the connection go. The pure functions are checked against
// the protocol by sim_protocol_fuzz.
//
// Input: pieces, each a length byte and that many bytes (the last piece
// takes what is left); each piece is sent with a send() of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "loopback.h"
#include "protocol.h"
#include "simulator.h"

namespace {

namespace protocol = marvok::sim::protocol;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr auto exchange_limit = 5s;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "sim_stream_fuzz: %s\n", what.c_str());
    std::abort();
}

marvok::sim::Simulator* simulator = nullptr;
sockaddr_in address{};
protocol::Registers mirror;  // what the simulator's registers hold

int connect_to_simulator()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        fail(std::string("socket: ") + std::strerror(errno));
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // libFuzzer's timers interrupt system calls; an interrupted connect
        // goes on in the kernel, so wait (bounded) for its outcome.
        if (errno != EINTR)
            fail(std::string("connect: ") + std::strerror(errno));
        pollfd p{fd, POLLOUT, 0};
        int ready;
        do
            ready = poll(&p, 1, 5000);
        while (ready < 0 && errno == EINTR);
        int error = 0;
        socklen_t length = sizeof error;
        if (ready <= 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            fail(std::string("connect: ") + std::strerror(ready <= 0 ? ETIMEDOUT : error));
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Sends `pieces` (shutting the write side after them) while taking in what
// comes back, until the simulator closes; fails after exchange_limit.
Bytes exchange(const std::vector<Bytes>& pieces)
{
    const int fd = connect_to_simulator();
    const auto deadline = Clock::now() + exchange_limit;
    Bytes received;
    std::size_t piece = 0, sent = 0;
    bool shut = false;
    for (;;) {
        if (!shut && piece == pieces.size()) {
            shutdown(fd, SHUT_WR);
            shut = true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            fail("the simulator neither answered nor closed within 5 s");
        pollfd p{fd, static_cast<short>(POLLIN | (shut ? 0 : POLLOUT)), 0};
        if (poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
            fail(std::string("poll: ") + std::strerror(errno));
        if (p.revents & POLLIN || p.revents & (POLLHUP | POLLERR)) {
            std::uint8_t buffer[4096];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n == 0)
                break;
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                fail(std::string("the simulator did not close in order: ") + std::strerror(errno));
            if (n > 0)
                received.insert(received.end(), buffer, buffer + n);
        }
        if (!shut && p.revents & POLLOUT) {
            const Bytes& bytes = pieces[piece];
            const ssize_t n = bytes.empty() ? 0 : send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                fail(std::string("send: ") + std::strerror(errno));
            sent += n > 0 ? static_cast<std::size_t>(n) : 0;
            if (sent == bytes.size()) {
                ++piece;
                sent = 0;
            }
        }
    }
    close(fd);
    return received;
}

// The replies the stream earns, and where the simulator stops reading it.
struct Expected {
    Bytes replies;
    std::size_t read = 0;
};

Expected expected_for(std::span<const std::uint8_t> stream)
{
    Expected e;
    while (stream.size() - e.read >= protocol::header_size) {
        const auto size = protocol::frame_size(stream.subspan(e.read).first<protocol::header_size>());
        if (!size) {
            e.read += protocol::header_size;  // dropped after this header
            return e;
        }
        if (stream.size() - e.read < *size)
            break;
        const auto reply = protocol::respond(mirror, stream.subspan(e.read, *size));
        e.replies.insert(e.replies.end(), reply.begin(), reply.end());
        e.read += *size;
    }
    e.read = stream.size();
    return e;
}

std::string hex(std::span<const std::uint8_t> bytes)
{
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size() && i < 64; ++i) {
        std::snprintf(digits, sizeof digits, "%02X ", bytes[i]);
        text += digits;
    }
    return text + (bytes.size() > 64 ? "..." : "");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    for (int attempt = 0; attempt < 100 && !simulator; ++attempt) {
        const auto at = marvok::test::random_loopback();
        marvok::sim::Options options;
        options.listen = {at.text};
        options.log_requests = false;  // memory must not grow with the run
        auto sim = std::make_unique<marvok::sim::Simulator>(options);
        try {
            sim->open();
        } catch (const std::system_error& e) {
            if (e.code() == std::errc::address_in_use)
                continue;
            fail(std::string(e.what()) + " (port 502 needs root)");
        }
        sim->start();
        simulator = sim.release();  // serves until the process ends
        address.sin_family = AF_INET;
        address.sin_port = htons(502);
        inet_pton(AF_INET, at.text.c_str(), &address.sin_addr);
    }
    if (!simulator)
        fail("no free loopback address");
    // The mirror starts from what the simulator serves.
    const auto input = exchange({{0, 1, 0, 0, 0, 6, 1, 4, 0, 0, 0, protocol::input_register_count}});
    const auto holding = exchange({{0, 2, 0, 0, 0, 6, 1, 3, 0, 0, 0, protocol::holding_register_count}});
    if (input.size() != 9 + 2 * mirror.input.size() || holding.size() != 9 + 2 * mirror.holding.size())
        fail("the simulator's registers could not be read");
    for (std::size_t i = 0; i < mirror.input.size(); ++i)
        mirror.input[i] = static_cast<std::uint16_t>(input[9 + 2 * i] << 8 | input[10 + 2 * i]);
    for (std::size_t i = 0; i < mirror.holding.size(); ++i)
        mirror.holding[i] = static_cast<std::uint16_t>(holding[9 + 2 * i] << 8 | holding[10 + 2 * i]);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Bytes stream;
    std::vector<std::size_t> cuts;  // where each piece ends
    for (std::size_t at = 0; at < size;) {
        const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
        stream.insert(stream.end(), data + at + 1, data + at + 1 + length);
        cuts.push_back(stream.size());
        at += 1 + length;
    }
    const Expected expected = expected_for(stream);
    // Nothing after a header that drops the connection is sent: the
    // simulator would not read it, and unread bytes turn its close into a reset.
    std::vector<Bytes> pieces;
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        const std::size_t to = std::min(cut, expected.read);
        if (to > from)
            pieces.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(from),
                                stream.begin() + static_cast<std::ptrdiff_t>(to));
        from = to;
    }

    const Bytes received = exchange(pieces);
    if (received != expected.replies)
        fail("replies differ\n  expected " + hex(expected.replies) + "\n  received " + hex(received));
    const auto deadline = Clock::now() + 2s;
    while (simulator->connections_open() != 0) {
        if (Clock::now() > deadline)
            fail("the simulator kept a connection the client had closed");
        std::this_thread::sleep_for(100us);
    }
    return 0;
}
