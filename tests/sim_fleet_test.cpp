// A plant in one process, as clients see it: an instrument of its own on each
// address, waves that follow the simulator's clock, noise and fault rates
// that a seed repeats, and the counts behind the status line.
#include "instrument.h"
#include "sim_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

namespace marvok::test {
namespace {

float read_fpm(RawClient& client) { return value_of(ask(client, read_request(1, 4, 0, 2))); }
float read_f(RawClient& client) { return value_of(ask(client, read_request(1, 4, 4, 2))); }

sim::InstrumentOptions instrument(const std::string& address, const char* fpm_wave = "none",
                                  const char* fpm_noise = "none", const char* fault = "none", double rate = 1)
{
    sim::InstrumentOptions options{address, {}};
    options.settings.fpm.wave = sim::parse_wave(fpm_wave);
    options.settings.fpm.noise = sim::parse_noise(fpm_noise);
    options.settings.fault = *sim::parse_fault(fault);
    options.settings.fault.rate = rate;
    return options;
}

// A serving simulator for the plant, on fresh loopback addresses, one per
// entry (their own are replaced), tried again on a clash.
std::unique_ptr<sim::Simulator> serve(sim::Options options)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        for (auto& entry : options.plant)
            entry.address = random_loopback().text;
        auto simulator = std::make_unique<sim::Simulator>(options);
        try {
            simulator->start();
            return simulator;
        } catch (const std::system_error& e) {
            if (e.code() != std::errc::address_in_use)
                throw;
        }
    }
    throw std::runtime_error("no free loopback addresses");
}

std::string address_of(const sim::Simulator& simulator, std::size_t index)
{
    const auto endpoint = simulator.endpoints().at(index);
    return endpoint.substr(0, endpoint.rfind(':'));
}

// An address where a simulator could listen, for runs one after another.
std::string free_address()
{
    sim::Options options;
    options.plant = {instrument("")};
    return address_of(*serve(options), 0);
}

TEST(SimFleet, EachAddressIsAnInstrumentOfItsOwn)
{
    sim::Options options;
    options.plant = {instrument(""), instrument(""), instrument("", "none", "none", "exception")};
    options.plant[0].settings.fpm.value = 1.5f;
    options.plant[1].settings.fpm.value = 2.5f;
    auto simulator = serve(options);
    ASSERT_EQ(simulator->stats().instruments, 3u);
    RawClient first(address_of(*simulator, 0)), second(address_of(*simulator, 1)), third(address_of(*simulator, 2));

    // Values of their own.
    EXPECT_EQ(read_fpm(first), 1.5f);
    EXPECT_EQ(read_fpm(second), 2.5f);
    // A fault of its own: the others are not touched by it.
    EXPECT_EQ(ask(third, read_request(7, 4, 0, 2)), (Bytes{0, 7, 0, 0, 0, 3, 1, 0x84, 4}));
    // A register written on one is not the other's.
    ask(first, modbus_frame(2, 1, {6, 0, 5, 0x12, 0x34}));
    EXPECT_EQ(ask(second, read_request(3, 3, 5, 1)), (Bytes{0, 3, 0, 0, 0, 5, 1, 3, 2, 0, 0}));
    EXPECT_EQ(ask(first, read_request(4, 3, 5, 1)), (Bytes{0, 4, 0, 0, 0, 5, 1, 3, 2, 0x12, 0x34}));
    EXPECT_EQ(simulator->holding_register(5), 0x1234);  // the first instrument's
}

TEST(SimFleet, WavesFollowTheSimulatorsClock)
{
    std::atomic<double> now{0};
    sim::Options options;
    options.clock = [&] { return now.load(); };
    options.plant = {instrument("", "sine:20:60s")};
    options.plant[0].settings.f.wave = sim::parse_wave("square:5:10s");
    auto simulator = serve(options);
    RawClient client(address_of(*simulator, 0));
    const struct {
        double at;
        float fpm, f;
    } moments[] = {
        {0, 350, 55},     // both at their start: the sine at its set point, the square high
        {15, 370, 45},    // the sine's peak; the square low in its second period's second half
        {45, 330, 45},    // the sine's trough
        {22, 350 + 20 * std::sin(2 * 3.14159265358979 * 22 / 60), 55},  // in between; the square high
        {3615, 370, 45},  // an hour on: as at 15 s
    };
    for (const auto& m : moments) {
        SCOPED_TRACE(m.at);
        now = m.at;
        EXPECT_NEAR(read_fpm(client), m.fpm, 1e-3);
        EXPECT_NEAR(read_f(client), m.f, 1e-3);
    }
    // The set point moves the wave with it.
    simulator->set_fpm(100);
    now = 15;
    EXPECT_NEAR(read_fpm(client), 120, 1e-3);
}

// FPM readings of the instrument at `address`, served with noise and `seed`.
std::vector<float> noisy_readings(const std::string& address, std::uint64_t seed, int count)
{
    sim::Options options;
    options.seed = seed;
    options.plant = {instrument(address, "none", "uniform:0.5")};
    sim::Simulator simulator(options);
    simulator.start();
    RawClient client(address);
    std::vector<float> values;
    for (int i = 0; i < count; ++i)
        values.push_back(read_fpm(client));
    return values;
}

TEST(SimFleet, NoiseStaysInItsBoundsAndTheSeedRepeatsIt)
{
    const auto address = free_address();

    const auto first = noisy_readings(address, 7, 200);
    EXPECT_EQ(noisy_readings(address, 7, 200), first);  // the same seed: the same run
    EXPECT_NE(noisy_readings(address, 8, 200), first);  // another seed: another
    for (const float value : first) {
        EXPECT_GE(value, 349.5f);
        EXPECT_LE(value, 350.5f);
    }
    EXPECT_GT(*std::max_element(first.begin(), first.end()) - *std::min_element(first.begin(), first.end()), 0.5f);
}

// Which of `count` reads on one connection met the fault.
std::vector<bool> faulted(const std::string& address, std::uint64_t seed, const char* fault, double rate,
                          int count, sim::Stats* stats = nullptr)
{
    sim::Options options;
    options.seed = seed;
    options.plant = {instrument(address, "none", "none", fault, rate)};
    sim::Simulator simulator(options);
    simulator.start();
    RawClient client(address);
    std::vector<bool> hits;
    for (int i = 0; i < count; ++i)
        hits.push_back(ask(client, read_request(static_cast<std::uint16_t>(i), 4, 0, 2)).size() == 9);
    if (stats)
        *stats = simulator.stats();
    return hits;
}

TEST(SimFleet, AFaultRateHitsAboutThatShareOfRequestsAndTheSeedRepeatsWhich)
{
    const auto address = free_address();

    const struct {
        double rate;
        int least, most;  // of 400: the rate ± about 3.5 standard deviations
    } cases[] = {
        {0.05, 5, 35},
        {0.25, 70, 130},
        {0.5, 165, 235},
        {0, 0, 0},        // never
        {1, 400, 400},    // always, as without a rate
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        sim::Stats stats;
        const auto hits = faulted(address, 21, "exception", c.rate, 400, &stats);
        const auto count = std::count(hits.begin(), hits.end(), true);
        EXPECT_GE(count, c.least);
        EXPECT_LE(count, c.most);
        EXPECT_EQ(stats.requests, 400u);
        EXPECT_EQ(stats.faults, static_cast<std::uint64_t>(count));
        EXPECT_EQ(faulted(address, 21, "exception", c.rate, 400), hits);  // the seed repeats which
    }
    EXPECT_NE(faulted(address, 22, "exception", 0.5, 100), faulted(address, 21, "exception", 0.5, 100));
}

TEST(SimFleet, AFirstOnlyFaultWithARateHitsSomeFirstRequestsAndNoOthers)
{
    sim::Options options;
    options.seed = 5;
    options.plant = {instrument("", "none", "none", "first-exception", 0.5)};
    auto simulator = serve(options);
    const auto address = address_of(*simulator, 0);
    int first_hits = 0;
    for (int i = 0; i < 100; ++i) {
        RawClient client(address);
        first_hits += ask(client, read_request(1, 4, 0, 2)).size() == 9;
        EXPECT_EQ(ask(client, read_request(2, 4, 0, 2)).size(), 13u);  // the retry always succeeds
    }
    EXPECT_GE(first_hits, 30);
    EXPECT_LE(first_hits, 70);
    EXPECT_EQ(simulator->stats().faults, static_cast<std::uint64_t>(first_hits));
}

}  // namespace
}  // namespace marvok::test
