#include "load.h"

#include "frames.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <random>
#include <stdexcept>

namespace marvok::bench {

namespace {

using clock = std::chrono::steady_clock;
constexpr int max_events = 1024;
// Beyond this many failures a run stops: the server is not there, and
// spinning on it would measure nothing.
constexpr std::uint64_t max_errors = 1000;

std::string errno_text(const char* what, int error = errno)
{
    return std::string(what) + ": " + std::strerror(error);
}

class Epoll {
public:
    Epoll() : fd_(epoll_create1(EPOLL_CLOEXEC))
    {
        if (fd_ < 0)
            throw std::runtime_error(errno_text("epoll_create1"));
    }
    ~Epoll() { close(fd_); }
    Epoll(const Epoll&) = delete;
    Epoll& operator=(const Epoll&) = delete;
    void add(int fd, std::uint32_t events, std::uint64_t data) { control(EPOLL_CTL_ADD, fd, events, data); }
    void modify(int fd, std::uint32_t events, std::uint64_t data) { control(EPOLL_CTL_MOD, fd, events, data); }
    int wait(epoll_event* events, int timeout_ms)
    {
        const int n = epoll_wait(fd_, events, max_events, timeout_ms);
        if (n < 0 && errno != EINTR)
            throw std::runtime_error(errno_text("epoll_wait"));
        return n < 0 ? 0 : n;
    }

private:
    void control(int op, int fd, std::uint32_t events, std::uint64_t data)
    {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = data;
        if (epoll_ctl(fd_, op, fd, &ev) != 0)
            throw std::runtime_error(errno_text("epoll_ctl"));
    }
    int fd_;
};

// One client's half of a transaction: the request sent, the reply so far.
struct Exchange {
    int fd = -1;
    std::uint16_t transaction = 0;
    std::size_t have = 0;
    Reply reply{};
    bool connecting = false;

    bool send_request()
    {
        const auto request = fpm_request(transaction);
        return send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    }

    enum class Read { partial, complete, wrong, lost };
    Read receive()
    {
        const ssize_t n = recv(fd, reply.data() + have, reply.size() - have, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return Read::partial;
        if (n <= 0)
            return Read::lost;
        // Checked as it comes: a shorter answer (an exception reply) must not
        // leave the client waiting for bytes that never come.
        const auto expected = fpm_reply(transaction);
        if (std::memcmp(reply.data() + have, expected.data() + have, static_cast<std::size_t>(n)) != 0)
            return Read::wrong;
        have += static_cast<std::size_t>(n);
        if (have < reply.size())
            return Read::partial;
        have = 0;
        return Read::complete;
    }

    void close_socket()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

// Counts what is done and what went wrong, and measures the window between
// the end of the warm-up and the deadline.
class Tally {
public:
    Tally(const LoadLimits& limits, bool warm)
        : start_(clock::now()), warm_end_(start_ + (warm ? limits.warmup : std::chrono::milliseconds(0))),
          end_(warm_end_ + limits.measure), limits_(limits)
    {
        if (!warm)
            open_window(start_);
    }

    void done() { ++done_; }
    void error(const std::string& what)
    {
        if (result_.errors++ == 0)
            result_.first_error = what;
    }
    std::uint64_t done_count() const { return done_; }

    // Moves the window on; false once the run is over.
    bool tick()
    {
        const auto now = clock::now();
        if (!counting_from_ && now >= warm_end_)
            open_window(now);
        if (now >= end_ || done_ >= limits_.max_transactions || result_.errors >= max_errors) {
            finish(now);
            return false;
        }
        return true;
    }

    LoadResult finish(clock::time_point now = clock::now())
    {
        if (!finished_) {
            finished_ = true;
            const auto from = counting_from_.value_or(now);
            result_.replies = done_ - done_at_start_;
            result_.seconds = std::chrono::duration<double>(now - from).count();
        }
        return result_;
    }

private:
    void open_window(clock::time_point now)
    {
        counting_from_ = now;
        done_at_start_ = done_;
        if (limits_.window_opens)
            limits_.window_opens();
    }

    clock::time_point start_, warm_end_, end_;
    const LoadLimits& limits_;
    std::optional<clock::time_point> counting_from_;
    std::uint64_t done_ = 0, done_at_start_ = 0;
    LoadResult result_;
    bool finished_ = false;
};

int tcp_socket(int flags)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (fd < 0)
        throw std::runtime_error(errno_text("socket"));
    return fd;
}

}  // namespace

sockaddr_in endpoint(const std::string& address, std::uint16_t port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1)
        throw std::invalid_argument("not an IPv4 address: " + address);
    return addr;
}

std::vector<in_addr> loopback_sources(int count)
{
    std::mt19937 gen(std::random_device{}());
    const int b = std::uniform_int_distribution<int>(1, 254)(gen);
    std::vector<in_addr> sources;
    for (int i = 0; i < count; ++i) {
        in_addr a{};
        a.s_addr = htonl(0x7F000000u | static_cast<std::uint32_t>(b) << 16 |
                         static_cast<std::uint32_t>(i / 254 % 256) << 8 | static_cast<std::uint32_t>(i % 254 + 1));
        sources.push_back(a);
    }
    return sources;
}

LoadResult keep_alive_load(const sockaddr_in& target, int clients, const LoadLimits& limits)
{
    Epoll epoll;
    std::vector<Exchange> conns(static_cast<std::size_t>(clients));
    Tally tally(limits, true);
    for (std::size_t i = 0; i < conns.size(); ++i) {
        Exchange& c = conns[i];
        c.fd = tcp_socket(0);
        const int on = 1;
        setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (connect(c.fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
            tally.error(errno_text("connect"));
            c.close_socket();
            continue;
        }
        fcntl(c.fd, F_SETFL, O_NONBLOCK);
        epoll.add(c.fd, EPOLLIN, i);
        c.transaction = static_cast<std::uint16_t>(i * 7919);
        if (!c.send_request()) {
            tally.error(errno_text("send"));
            c.close_socket();
        }
    }
    std::size_t alive = 0;
    for (const auto& c : conns)
        alive += c.fd >= 0;

    epoll_event events[max_events];
    while (alive > 0 && tally.tick()) {
        const int n = epoll.wait(events, 50);
        for (int k = 0; k < n; ++k) {
            Exchange& c = conns[events[k].data.u64];
            if (c.fd < 0)
                continue;
            const auto read = c.receive();
            if (read == Exchange::Read::partial)
                continue;
            if (read == Exchange::Read::complete) {
                tally.done();
                ++c.transaction;
                if (c.send_request())
                    continue;
                tally.error(errno_text("send"));
            } else {
                tally.error(read == Exchange::Read::wrong ? "a reply differs from the expected bytes"
                                                          : "the server closed a connection");
            }
            c.close_socket();
            --alive;
        }
    }
    for (auto& c : conns)
        c.close_socket();
    auto result = tally.finish();
    if (alive == 0 && result.first_error.empty())
        result.first_error = "no connection left";
    return result;
}

LoadResult connection_load(const ConnectionLoad& load, const LoadLimits& limits)
{
    if (load.targets.empty() || load.in_flight < 1)
        throw std::invalid_argument("a connection load needs targets and at least one client");
    Epoll epoll;
    std::vector<Exchange> slots(static_cast<std::size_t>(load.in_flight));
    Tally tally(limits, !load.each_once);
    std::size_t next_target = 0, next_source = 0, busy = 0;
    std::uint64_t started = 0;
    std::uint16_t transaction = 0;

    // Begins the next transaction in slot i; false when there is none to begin.
    const auto begin = [&](std::size_t i) -> bool {
        for (;;) {
            if (load.each_once && next_target >= load.targets.size())
                return false;
            if (started >= limits.max_transactions)
                return false;
            ++started;
            const sockaddr_in& target = load.targets[next_target++ % load.targets.size()];
            Exchange& c = slots[i];
            c.fd = tcp_socket(SOCK_NONBLOCK);
            c.transaction = transaction++;
            c.have = 0;
            if (!load.sources.empty()) {
                const int on = 1;
                setsockopt(c.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
                sockaddr_in source{};
                source.sin_family = AF_INET;
                source.sin_addr = load.sources[next_source++ % load.sources.size()];
                if (bind(c.fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
                    tally.error(errno_text("bind"));
                    c.close_socket();
                    if (tally.tick())
                        continue;
                    return false;
                }
            }
            if (connect(c.fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 &&
                errno != EINPROGRESS) {
                tally.error(errno_text("connect"));
                c.close_socket();
                if (tally.tick())
                    continue;
                return false;
            }
            // On loopback the handshake is usually over by now: send at once
            // and skip a round of waiting for writability.
            c.connecting = !c.send_request();
            if (c.connecting && errno != EAGAIN && errno != ENOTCONN) {
                tally.error(errno_text("connect"));
                c.close_socket();
                if (tally.tick())
                    continue;
                return false;
            }
            epoll.add(c.fd, c.connecting ? EPOLLOUT : EPOLLIN, i);
            ++busy;
            return true;
        }
    };
    const auto end = [&](std::size_t i) {
        slots[i].close_socket();
        --busy;
    };

    for (std::size_t i = 0; i < slots.size(); ++i)
        if (!begin(i))
            break;

    epoll_event events[max_events];
    while (busy > 0 && tally.tick()) {
        const int n = epoll.wait(events, 50);
        for (int k = 0; k < n; ++k) {
            const std::size_t i = events[k].data.u64;
            Exchange& c = slots[i];
            if (c.fd < 0)
                continue;
            if (c.connecting) {
                if (c.send_request()) {
                    c.connecting = false;
                    epoll.modify(c.fd, EPOLLIN, i);
                    continue;
                }
                if (errno == EAGAIN)
                    continue;
                tally.error(errno_text("connect"));
                end(i);
                begin(i);
                continue;
            }
            const auto read = c.receive();
            if (read == Exchange::Read::partial)
                continue;
            if (read == Exchange::Read::complete)
                tally.done();
            else
                tally.error(read == Exchange::Read::wrong ? "a reply differs from the expected bytes"
                                                          : "the server closed a connection before replying");
            end(i);
            begin(i);
        }
    }
    for (auto& c : slots)
        c.close_socket();
    auto result = tally.finish();
    if (load.each_once && tally.done_count() + result.errors < load.targets.size()) {
        const auto missing = load.targets.size() - tally.done_count() - result.errors;
        result.errors += missing;
        if (result.first_error.empty())
            result.first_error = std::to_string(missing) + " targets not reached within the time limit";
    }
    return result;
}

}  // namespace marvok::bench
