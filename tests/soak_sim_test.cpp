// The simulator soaked: a thousand misbehaving clients at once (garbage,
// frames left half sent, connections left idle, floods of requests read or
// never read) while one well-behaved client keeps reading the measurements.
// That client must get every value right with no reply slower than 50 ms
// (less any time the whole process was held, which is the machine's), and
// the process's memory must stay bounded: the simulator keeps a buffer of
// fixed size per connection, whatever its clients send or leave unread.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "instrument.h"
#include "stall_watch.h"

namespace marvok::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int clients_per_kind = 200;
constexpr auto load_time = 20s;
constexpr auto slowest_reply = 50ms;
constexpr long rss_growth_limit_kb = 64 * 1024;   // for everything the load adds
constexpr long rss_drift_limit_kb = 8 * 1024;     // while the load goes on

long rss_kb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Room for both ends of every connection, which all live in this process.
void raise_descriptor_limit(rlim_t wanted)
{
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur >= wanted)
        return;
    ASSERT_GE(limit.rlim_max, wanted) << "the hard limit on open files is " << limit.rlim_max << ", below the "
                                      << wanted << " this test needs: raise it (ulimit -Hn) and run again";
    limit.rlim_cur = wanted;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0) << std::strerror(errno);
}

enum class Kind { garbage, half_frame, idle, flood_read, flood_unread };
constexpr Kind kinds[] = {Kind::garbage, Kind::half_frame, Kind::idle, Kind::flood_read, Kind::flood_unread};
constexpr const char* names[] = {"garbage", "half frame", "idle", "flood, read", "flood, never read"};

struct Misbehaver {
    Kind kind;
    int fd = -1;
    Clock::time_point next{};  // garbage: when to send again
    std::size_t in_flight = 0;  // flood, read: requests not yet answered
};

int connect_nonblocking(const std::string& address, int buffer_size)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (buffer_size > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_size, sizeof buffer_size);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer_size, sizeof buffer_size);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(502);
    inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    // On loopback the connect completes at once, queued until accepted.
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// Drives the misbehaving clients from one thread until told to stop.
class Crowd {
public:
    explicit Crowd(std::string address) : address_(std::move(address)) {}

    bool start()
    {
        for (const Kind kind : kinds)
            for (int i = 0; i < clients_per_kind; ++i) {
                Misbehaver m{kind};
                if (!open(m))
                    return false;
                clients_.push_back(m);
            }
        thread_ = std::thread([this] { run(); });
        return true;
    }

    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        for (auto& m : clients_)
            if (m.fd >= 0)
                close(m.fd);
        clients_.clear();
    }

    ~Crowd() { stop(); }

    std::uint64_t garbage_reconnects() const { return reconnects_; }
    std::uint64_t flood_replies() const { return replies_; }
    std::uint64_t bytes_sent() const { return sent_; }

private:
    bool open(Misbehaver& m)
    {
        // Floods that never read stall on small buffers, and then the
        // simulator must stop reading them rather than pile up their replies.
        m.fd = connect_nonblocking(address_, m.kind == Kind::flood_unread ? 4096 : 0);
        if (m.fd < 0)
            return false;
        if (m.kind == Kind::half_frame) {
            // A header announcing 254 bytes, and 100 of them.
            std::vector<std::uint8_t> part(7 + 100, 0x55);
            const std::uint8_t header[] = {0, 1, 0, 0, 0, 254, 1};
            std::memcpy(part.data(), header, sizeof header);
            send_some(m, part);
        }
        return true;
    }

    std::size_t send_some(Misbehaver& m, const std::vector<std::uint8_t>& bytes)
    {
        const ssize_t n = send(m.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n > 0)
            sent_ += static_cast<std::uint64_t>(n);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    void reconnect(Misbehaver& m)
    {
        close(m.fd);
        ++reconnects_;
        if (!open(m))
            m.fd = -1;
        m.next = Clock::now() + 100ms;
    }

    void run()
    {
        std::mt19937 random(12345);
        // Twenty requests for input registers 0 and 1, back to back.
        std::vector<std::uint8_t> requests;
        for (int i = 0; i < 20; ++i)
            requests.insert(requests.end(), {0, static_cast<std::uint8_t>(i), 0, 0, 0, 6, 1, 4, 0, 0, 0, 2});
        std::vector<pollfd> fds(clients_.size());
        while (!stop_) {
            const auto now = Clock::now();
            for (std::size_t i = 0; i < clients_.size(); ++i) {
                const Misbehaver& m = clients_[i];
                short events = POLLIN;
                if (m.kind == Kind::flood_unread || (m.kind == Kind::flood_read && m.in_flight < 200))
                    events |= POLLOUT;
                if (m.kind == Kind::flood_unread)
                    events = POLLOUT;
                fds[i] = {m.fd, events, 0};
            }
            if (poll(fds.data(), fds.size(), 5) < 0 && errno != EINTR)
                return;
            for (std::size_t i = 0; i < clients_.size(); ++i) {
                Misbehaver& m = clients_[i];
                if (m.fd < 0) {
                    if (m.kind == Kind::garbage && now >= m.next)
                        reconnect(m);
                    continue;
                }
                const short seen = fds[i].revents;
                if (seen & (POLLIN | POLLHUP | POLLERR) && m.kind != Kind::flood_unread) {
                    std::uint8_t buffer[4096];
                    const ssize_t n = recv(m.fd, buffer, sizeof buffer, 0);
                    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                        // Only garbage gets itself dropped; it comes back for more.
                        if (m.kind == Kind::garbage)
                            reconnect(m);
                        continue;
                    }
                    if (n > 0 && m.kind == Kind::flood_read) {
                        const std::size_t replies = static_cast<std::size_t>(n) / 13;
                        m.in_flight -= std::min(m.in_flight, replies);
                        replies_ += replies;
                    }
                }
                if (m.kind == Kind::garbage && now >= m.next) {
                    std::vector<std::uint8_t> junk(1 + random() % 64);
                    for (auto& b : junk)
                        b = static_cast<std::uint8_t>(random());
                    send_some(m, junk);
                    m.next = now + 50ms;
                }
                if (seen & POLLOUT && (m.kind == Kind::flood_read || m.kind == Kind::flood_unread)) {
                    const std::size_t n = send_some(m, requests);
                    if (m.kind == Kind::flood_read)
                        m.in_flight += n / 12;
                }
            }
        }
    }

    std::string address_;
    std::vector<Misbehaver> clients_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> reconnects_{0}, replies_{0}, sent_{0};
};

TEST(SoakSimulator, AThousandMisbehavingClientsLeaveTheWellBehavedOneServedFastInBoundedMemory)
{
    constexpr int crowd_size = clients_per_kind * static_cast<int>(std::size(kinds));
    raise_descriptor_limit(2 * crowd_size + 512);
    const long rss_before = rss_kb();

    sim::Options options;
    options.log_requests = false;  // the floods' requests would only grow memory
    options.fpm = 123.25f;
    options.f = -0.5f;
    Instrument instrument(options);
    RawClient good(instrument.address().text);

    Crowd crowd(instrument.address().text);
    ASSERT_TRUE(crowd.start()) << "could not connect the misbehaving clients";

    long rss_peak = rss_kb(), rss_early = -1, rss_late = 0;
    int most_open = 0;
    std::uint64_t reads = 0, wrong = 0, lost = 0;
    // A read is timed less the time the whole process was held (a stalled
    // machine, or the crowd and the server busy on both cores), which the
    // simulator, serving on one thread, cannot cause on its own.
    std::chrono::microseconds slowest{0}, slowest_raw{0};
    std::uint64_t held_reads = 0;
    StallWatch watch;
    const auto start = Clock::now();
    auto next_sample = start;
    for (std::uint16_t id = 0; Clock::now() - start < load_time; ++id) {
        const bool fpm = id % 2 == 0;
        watch.reset();
        const auto asked = Clock::now();
        good.send(read_request(id, 4, fpm ? 0 : 4, 2));
        const auto reply = good.receive_frame(1s);
        const auto took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - asked);
        const auto held = std::chrono::duration_cast<std::chrono::microseconds>(watch.held());
        slowest_raw = std::max(slowest_raw, took);
        slowest = std::max(slowest, took - std::min(took, held));
        held_reads += held >= 5ms ? 1 : 0;
        ++reads;
        if (reply.status != RawClient::Status::data || reply.bytes.size() != 13) {
            ++lost;
            break;  // the connection cannot be trusted to be in step any more
        }
        const auto& b = reply.bytes;
        const auto bits = static_cast<std::uint32_t>(b[11] << 24 | b[12] << 16 | b[9] << 8 | b[10]);
        if ((b[0] << 8 | b[1]) != id || std::bit_cast<float>(bits) != (fpm ? 123.25f : -0.5f))
            ++wrong;

        if (Clock::now() >= next_sample) {
            const long rss = rss_kb();
            rss_peak = std::max(rss_peak, rss);
            if (rss_early < 0 && Clock::now() - start > load_time / 4)
                rss_early = rss;
            rss_late = rss;
            most_open = std::max(most_open, instrument.sim().connections_open());
            next_sample += 250ms;
        }
        std::this_thread::sleep_for(2ms);
    }
    crowd.stop();
    good.close();
    const auto closed_by = Clock::now() + 5s;
    while (instrument.sim().connections_open() > 0 && Clock::now() < closed_by)
        std::this_thread::sleep_for(10ms);
    const long rss_after = rss_kb();

    std::printf("%d misbehaving clients, %d of each kind:", crowd_size, clients_per_kind);
    for (const char* name : names)
        std::printf(" %s;", name);
    std::printf("\n");
    std::printf("well-behaved reads %llu, wrong %llu, lost %llu, slowest %.1f ms (%.1f ms less holds; "
                "%llu reads held 5 ms or more)\n",
                static_cast<unsigned long long>(reads), static_cast<unsigned long long>(wrong),
                static_cast<unsigned long long>(lost), slowest_raw.count() / 1000.0, slowest.count() / 1000.0,
                static_cast<unsigned long long>(held_reads));
    std::printf("garbage reconnects %llu, flood replies read %llu, bytes sent by the crowd %llu\n",
                static_cast<unsigned long long>(crowd.garbage_reconnects()),
                static_cast<unsigned long long>(crowd.flood_replies()),
                static_cast<unsigned long long>(crowd.bytes_sent()));
    std::printf("connections open at most %d\n", most_open);
    std::printf("RSS: before %ld kB, peak %ld kB, a quarter in %ld kB, at the end of the load %ld kB, after %ld kB\n",
                rss_before, rss_peak, rss_early, rss_late, rss_after);

    EXPECT_EQ(lost, 0u);
    EXPECT_EQ(wrong, 0u);
    EXPECT_GT(reads, 1000u);
    EXPECT_LT(slowest, slowest_reply);
    EXPECT_GE(most_open, crowd_size * 3 / 4) << "the crowd was not connected";
    EXPECT_LT(rss_peak - rss_before, rss_growth_limit_kb);
    EXPECT_LT(rss_late - rss_early, rss_drift_limit_kb) << "memory grew while the load went on";
    EXPECT_EQ(instrument.sim().connections_open(), 0);
}

}  // namespace
}  // namespace marvok::test
