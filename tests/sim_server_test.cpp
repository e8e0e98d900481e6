// The simulator as a server: many clients, several addresses, the counts it
// keeps, what open() reports when it cannot listen, and stopping.
#include "instrument.h"
#include "sim_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <future>
#include <thread>

namespace marvok::test {
namespace {

using namespace std::chrono_literals;
using Status = RawClient::Status;
constexpr auto wait = 2000ms;

Bytes reply_to(RawClient& client, const Bytes& request)
{
    client.send(request);
    return client.receive_frame(wait).bytes;
}

// A simulator of our own on fresh loopback addresses, retried on a clash.
std::unique_ptr<sim::Simulator> open_on(std::size_t count, std::vector<Loopback>& addresses)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        sim::Options options;
        addresses.clear();
        options.listen.clear();
        for (std::size_t i = 0; i < count; ++i) {
            addresses.push_back(random_loopback());
            options.listen.push_back(addresses.back().text);
        }
        auto sim = std::make_unique<sim::Simulator>(options);
        try {
            sim->open();
            return sim;
        } catch (const std::system_error& e) {
            if (e.code() != std::errc::address_in_use)
                throw;
        }
    }
    throw std::runtime_error("no free loopback addresses");
}

TEST(SimServer, ManyClientsAtOnce)
{
    Instrument instrument;
    constexpr int count = 64;
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < count; ++i)
        clients.push_back(std::make_unique<RawClient>(instrument.address().text));
    // Every request is in before any reply is read: none may wait for another.
    for (int i = 0; i < count; ++i)
        clients[i]->send(read_request(static_cast<std::uint16_t>(i), 4, 0, 2));
    for (int i = 0; i < count; ++i) {
        const auto reply = clients[i]->receive_frame(wait);
        ASSERT_EQ(reply.status, Status::data) << i;
        ASSERT_EQ(reply.bytes.size(), 13u);
        EXPECT_EQ(reply.bytes[0] << 8 | reply.bytes[1], i);
    }
    EXPECT_EQ(instrument.sim().connections_accepted(), count);
    EXPECT_EQ(instrument.sim().connections_open(), count);
    clients.clear();
    EXPECT_TRUE(eventually([&] { return instrument.sim().connections_open() == 0; }));
    EXPECT_EQ(instrument.sim().connections_accepted(), count);
}

float float_at(const Bytes& reply, std::size_t low)
{
    const std::uint32_t bits = static_cast<std::uint32_t>(reply[low + 2] << 24 | reply[low + 3] << 16 |
                                                          reply[low] << 8 | reply[low + 1]);
    return std::bit_cast<float>(bits);
}

// A value set_fpm()/set_f() were given below, or the initial one.
bool was_set(float value)
{
    const float steps = value / 1.25f;
    return value == 350.0f || value == 50.0f || (steps >= 0 && steps < 200 && steps == std::floor(steps));
}

TEST(SimServer, ClientsOnThreadsWhileValuesChange)
{
    Instrument instrument;
    constexpr int threads = 8, rounds = 50;
    std::atomic<int> whole{0};
    std::vector<std::future<void>> done;
    for (int t = 0; t < threads; ++t)
        done.push_back(std::async(std::launch::async, [&, t] {
            RawClient client(instrument.address().text);
            for (int r = 0; r < rounds; ++r) {
                const auto id = static_cast<std::uint16_t>(t * 1000 + r);
                const auto reply = reply_to(client, read_request(id, 4, 0, 6));
                // Each float is one that was set, never half of one and half of another.
                if (reply.size() == 21 && (reply[0] << 8 | reply[1]) == id && was_set(float_at(reply, 9)) &&
                    was_set(float_at(reply, 17)))
                    ++whole;
            }
        }));
    for (int i = 0; i < 200; ++i) {
        const float value = static_cast<float>(i) * 1.25f;
        instrument.sim().set_fpm(value);
        instrument.sim().set_f(value);
        std::this_thread::sleep_for(1ms);
    }
    for (auto& f : done)
        ASSERT_EQ(f.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(whole.load(), threads * rounds);
    EXPECT_EQ(instrument.sim().requests().size(), static_cast<std::size_t>(threads * rounds));
}

TEST(SimServer, ClientsThatLeaveBeforeTheReplyDoNoHarm)
{
    Instrument instrument;
    using K = sim::Step::Kind;
    // Each reply is written to a connection whose peer has gone: a write that
    // fails (or raises SIGPIPE) must cost only that connection.
    instrument.sim().script({{K::late, 100, {}}, {K::split, 100, {}}, {K::late, 100, {}}});
    for (int i = 0; i < 3; ++i) {
        RawClient client(instrument.address().text);
        client.send(read_request(1, 4, 0, 2));
        if (i == 1) {  // the split: leave after the first piece
            EXPECT_EQ(client.receive_some(wait).bytes.size(), 7u);
        }
        ASSERT_TRUE(eventually([&] { return instrument.sim().requests().size() == std::size_t(i) + 1; }));
    }
    EXPECT_TRUE(eventually([&] { return instrument.sim().connections_open() == 0; }));
    RawClient client(instrument.address().text);
    EXPECT_EQ(reply_to(client, read_request(2, 4, 0, 2)).size(), 13u);
}

TEST(SimServer, ServesOnEveryAddress)
{
    std::vector<Loopback> addresses;
    auto sim = open_on(3, addresses);
    ASSERT_EQ(sim->endpoints().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(sim->endpoints()[i], addresses[i].text + ":502");
    sim->start();
    for (const auto& address : addresses) {
        RawClient client(address.text);
        EXPECT_EQ(reply_to(client, read_request(1, 4, 0, 1)).size(), 11u) << address.text;
    }
    // An instrument of its own behind each address: a write to one is not another's.
    {
        RawClient writer(addresses[0].text);
        reply_to(writer, modbus_frame(1, 1, {6, 0, 1, 0, 42}));
    }
    RawClient reader(addresses[2].text);
    EXPECT_EQ(reply_to(reader, read_request(2, 3, 1, 1)), (Bytes{0, 2, 0, 0, 0, 5, 1, 3, 2, 0, 0}));
    EXPECT_EQ(sim->holding_register(1), 42);  // the first address's instrument
}

TEST(SimServer, OpenReportsWhyItCannotListen)
{
    Instrument taken;
    const struct {
        std::vector<std::string> listen;
        std::errc code;
        std::string named;
        const char* why;
    } cases[] = {
        {{taken.address().text}, std::errc::address_in_use, taken.address().text + ":502",
         "an address another simulator listens on"},
        {{"192.0.2.1"}, std::errc::address_not_available, "192.0.2.1:502",
         "an address that is not this machine's"},
        {{"localhost"}, std::errc::invalid_argument, "localhost:502", "a name rather than a number"},
        {{"127.0.0.256"}, std::errc::invalid_argument, "127.0.0.256:502", "not an address at all"},
        {{}, std::errc::invalid_argument, "no address", "nothing to listen on"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        sim::Options options;
        options.listen = c.listen;
        sim::Simulator sim(options);
        try {
            sim.open();
            ADD_FAILURE() << "open() succeeded";
        } catch (const std::system_error& e) {
            EXPECT_EQ(e.code(), c.code) << e.code().message();
            EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos) << e.what();
        }
        EXPECT_TRUE(sim.endpoints().empty());
    }
}

TEST(SimServer, FailedOpenLeavesNothingBound)
{
    Instrument taken;
    const auto free = random_loopback();
    sim::Options options;
    options.listen = {free.text, taken.address().text};
    {
        sim::Simulator sim(options);
        EXPECT_THROW(sim.open(), std::system_error);
        // The first address was let go again: another simulator can have it.
        sim::Options again;
        again.listen = {free.text};
        sim::Simulator other(again);
        EXPECT_NO_THROW(other.open());
    }
}

TEST(SimServer, AnyFreePort)
{
    sim::Options options;
    options.listen = {random_loopback().text};
    options.port = 0;
    sim::Simulator sim(options);
    sim.start();
    const auto endpoint = sim.endpoints().at(0);
    const auto port = std::stoi(endpoint.substr(endpoint.rfind(':') + 1));
    EXPECT_GT(port, 0);
    RawClient client(options.listen[0], static_cast<std::uint16_t>(port));
    EXPECT_EQ(reply_to(client, read_request(1, 4, 0, 2)).size(), 13u);
}

TEST(SimServer, StopClosesEveryConnection)
{
    Instrument instrument(sim::Options{.fault = {sim::FaultMode::late, false, 5000}});
    RawClient idle(instrument.address().text), waiting(instrument.address().text);
    waiting.send(read_request(1, 4, 0, 2));  // parked in a 5 s delay
    ASSERT_TRUE(eventually([&] { return instrument.sim().requests().size() == 1; }));
    ASSERT_EQ(instrument.sim().connections_open(), 2);

    const auto before = std::chrono::steady_clock::now();
    instrument.sim().stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);  // the delay does not hold it up
    EXPECT_EQ(instrument.sim().connections_open(), 0);
    for (auto* client : {&idle, &waiting}) {
        const auto seen = client->receive_some(wait);
        EXPECT_TRUE(seen.status == Status::eof || seen.status == Status::reset) << to_string(seen.status);
        EXPECT_TRUE(seen.bytes.empty());
    }
    // Nobody listens any more.
    EXPECT_THROW(RawClient(instrument.address().text), std::runtime_error);
    // Stopping again is harmless, and a stopped simulator stays stopped.
    instrument.sim().stop();
    instrument.sim().start();
    instrument.sim().run();  // returns at once
    EXPECT_THROW(RawClient(instrument.address().text), std::runtime_error);
}

TEST(SimServer, RunServesOnTheCallersThreadUntilStopped)
{
    std::vector<Loopback> addresses;
    auto sim = open_on(1, addresses);
    auto running = std::async(std::launch::async, [&] { sim->run(); });
    {
        RawClient client(addresses[0].text);
        EXPECT_EQ(reply_to(client, read_request(1, 4, 0, 2)).size(), 13u);
    }
    // Called from several threads at once, stop() returns in each once run() is done.
    auto other = std::async(std::launch::async, [&] { sim->stop(); });
    sim->stop();
    EXPECT_EQ(running.wait_for(wait), std::future_status::ready);
    EXPECT_EQ(other.wait_for(wait), std::future_status::ready);
}

TEST(SimServer, StoppedBeforeServingNeverListens)
{
    std::vector<Loopback> addresses;
    auto sim = open_on(1, addresses);
    sim->stop();
    EXPECT_THROW(RawClient(addresses[0].text), std::runtime_error);
    sim->run();  // returns at once, rather than serving nobody forever
    SUCCEED();
}

TEST(SimServer, RegisterIndexesOutsideTheTablesAreRefused)
{
    sim::Simulator sim(sim::Options{});  // never opened: no address needed
    EXPECT_THROW(sim.set_input_register(10, 1), std::out_of_range);
    EXPECT_THROW(sim.set_input_register(-1, 1), std::out_of_range);
    EXPECT_THROW(sim.holding_register(100), std::out_of_range);
    EXPECT_THROW(sim.holding_register(-1), std::out_of_range);
    EXPECT_NO_THROW(sim.set_input_register(9, 1));
    EXPECT_EQ(sim.holding_register(99), 0);
}

TEST(SimServer, RequestLogCanBeTurnedOff)
{
    Instrument instrument(sim::Options{.log_requests = false});
    RawClient client(instrument.address().text);
    EXPECT_EQ(reply_to(client, read_request(1, 4, 0, 2)).size(), 13u);
    EXPECT_TRUE(instrument.sim().requests().empty());
}

}  // namespace
}  // namespace marvok::test
