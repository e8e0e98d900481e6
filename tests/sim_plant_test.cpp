// A plant on paper: address ranges, how measurements move (waves and seeded
// noise, as pure functions of time), and plant files resolved into each
// instrument's settings, with the one-line errors of bad ones.
#include "sim/plant.h"
#include "sim_helpers.h"

#include <gtest/gtest.h>

#include <cmath>

namespace marvok::test {
namespace {

using sim::Wave;

TEST(SimRange, ExpandsToEveryAddressInOrder)
{
    const struct {
        const char* text;
        std::size_t count;
        const char* first;
        const char* last;
        const char* why;
    } cases[] = {
        {"127.0.0.10", 1, "127.0.0.10", "127.0.0.10", "one address is a range of one"},
        {"127.0.0.10-127.0.0.10", 1, "127.0.0.10", "127.0.0.10", "equal ends"},
        {"127.0.0.10-127.0.0.250", 241, "127.0.0.10", "127.0.0.250", "within one octet"},
        {"127.0.1.250-127.0.2.5", 12, "127.0.1.250", "127.0.2.5", "across the last octet"},
        {"127.255.255.255-128.0.0.1", 3, "127.255.255.255", "128.0.0.1", "carries into the first octet"},
        {"255.255.255.254-255.255.255.255", 2, "255.255.255.254", "255.255.255.255", "the top, without wrapping"},
        {"127.0.0.1-127.0.39.16", 10000, "127.0.0.1", "127.0.39.16", "the plant benchmark's 10,000"},
        {"127.0.0.0-127.0.255.255", 65536, "127.0.0.0", "127.0.255.255", "the most a range may have"},
        {"::1-::3", 3, "::1", "::3", "IPv6"},
        {"fe80::ffff-fe80::1:1", 3, "fe80::ffff", "fe80::1:1", "IPv6 across a group of 16 bits"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        const auto addresses = sim::expand_range(c.text);
        ASSERT_EQ(addresses.size(), c.count);
        EXPECT_EQ(addresses.front(), c.first);
        EXPECT_EQ(addresses.back(), c.last);
    }
    // Every address once, each one more than the one before.
    const auto across = sim::expand_range("127.0.1.254-127.0.2.1");
    EXPECT_EQ(across, (std::vector<std::string>{"127.0.1.254", "127.0.1.255", "127.0.2.0", "127.0.2.1"}));
}

TEST(SimRange, BadRangesSayWhatIsWrong)
{
    const struct {
        const char* text;
        const char* says;
        const char* why;
    } cases[] = {
        {"127.0.0.5-127.0.0.1", "runs backwards", "the first address after the last"},
        {"127.0.0.1-::1", "mixes IPv4 and IPv6", "two families"},
        {"127.0.0.0-127.1.0.0", "more than 65536", "one address too many"},
        {"::-ffff::", "more than 65536", "far too many, beyond 64 bits"},
        {"127.0.0.1-", "'' is not a numeric", "no last address"},
        {"-127.0.0.1", "'' is not a numeric", "no first address"},
        {"127.0.0.1-127.0.0.2-127.0.0.3", "'127.0.0.2-127.0.0.3' is not", "two dashes"},
        {"localhost", "'localhost' is not a numeric", "a name"},
        {"127.0.0.1/8", "'127.0.0.1/8' is not a numeric", "a network"},
        {"", "'' is not a numeric", "nothing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        try {
            sim::expand_range(c.text);
            ADD_FAILURE() << c.text << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

TEST(SimWave, ValuesAtGivenTimes)
{
    const auto wave = [](Wave::Shape shape, double phase = 0) { return Wave{shape, 1.0, 8.0, phase}; };
    const struct {
        Wave wave;
        double seconds;
        double expected;
        const char* why;
    } cases[] = {
        {wave(Wave::Shape::sine), 0, 0, "sine starts at the set point"},
        {wave(Wave::Shape::sine), 2, 1, "and peaks a quarter period in"},
        {wave(Wave::Shape::sine), 6, -1, "its trough at three quarters"},
        {wave(Wave::Shape::sine), 16 + 2, 1, "periodic"},
        {wave(Wave::Shape::sine), -2, -1, "before time 0 too"},
        {wave(Wave::Shape::sine, 2), 0, 1, "a phase shifts the start"},
        {wave(Wave::Shape::square), 0, 1, "square: high for the first half"},
        {wave(Wave::Shape::square), 3.99, 1, "up to the middle"},
        {wave(Wave::Shape::square), 4, -1, "low for the second half"},
        {wave(Wave::Shape::triangle), 1, 0.5, "triangle: straight up from 0"},
        {wave(Wave::Shape::triangle), 2, 1, "its peak with the sine's"},
        {wave(Wave::Shape::triangle), 4, 0, "through 0 at half a period"},
        {wave(Wave::Shape::triangle), 6, -1, "its trough with the sine's"},
        {wave(Wave::Shape::triangle), 7, -0.5, "and back up"},
        {wave(Wave::Shape::ramp), 0, -1, "ramp: starts at the bottom"},
        {wave(Wave::Shape::ramp), 4, 0, "climbs through the set point"},
        {wave(Wave::Shape::ramp), 7.9, 0.975, "nearly to the top"},
        {wave(Wave::Shape::ramp), 8, -1, "then drops back"},
        {wave(Wave::Shape::none), 3, 0, "no wave: constant"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_NEAR(c.wave.unit_at(c.seconds), c.expected, 1e-9);
    }
    // Around the set point, scaled by the amplitude.
    sim::Measurement fpm{350.0f, Wave{Wave::Shape::sine, 20, 60, 0}, {}};
    sim::Random random(1);
    EXPECT_FLOAT_EQ(fpm.at(15, random), 370.0f);
    EXPECT_FLOAT_EQ(fpm.at(45, random), 330.0f);
}

TEST(SimWave, TextFormsReadAndPrintBack)
{
    const struct {
        const char* text;
        Wave::Shape shape;
        double amplitude, period, phase;
        const char* printed;
    } good[] = {
        {"sine:20:60s", Wave::Shape::sine, 20, 60, 0, "sine:20:60s"},
        {"square:1.5:500ms", Wave::Shape::square, 1.5, 0.5, 0, "square:1.5:0.5s"},
        {"triangle:-3:2min", Wave::Shape::triangle, -3, 120, 0, "triangle:-3:120s"},  // upside down
        {"ramp:10:1h:15min", Wave::Shape::ramp, 10, 3600, 900, "ramp:10:3600s:900s"},
        {"sine:+2:30", Wave::Shape::sine, 2, 30, 0, "sine:2:30s"},  // bare seconds
        {"none", Wave::Shape::none, 0, 1, 0, "none"},
    };
    for (const auto& c : good) {
        SCOPED_TRACE(c.text);
        const auto wave = sim::parse_wave(c.text);
        EXPECT_EQ(wave.shape, c.shape);
        EXPECT_DOUBLE_EQ(wave.amplitude, c.amplitude);
        EXPECT_DOUBLE_EQ(wave.period, c.period);
        EXPECT_DOUBLE_EQ(wave.phase, c.phase);
        EXPECT_EQ(sim::to_string(wave), c.printed);
        EXPECT_EQ(sim::to_string(sim::parse_wave(c.printed)), c.printed);
    }
    const char* const bad[] = {
        "",                  // nothing
        "sine",              // no amplitude or period
        "sine:20",           // no period
        "sine:20:60s:1s:2",  // too many parts
        "saw:20:60s",        // unknown shape
        "sine:x:60s",        // amplitude not a number
        "sine:inf:60s",      // nor infinite
        "sine:20:0s",        // a period of nothing
        "sine:20:-5s",       // a negative period
        "sine:20:60sec",     // unknown unit
        "sine:20:60 s",      // no spaces
        "Sine:20:60s",       // names are exact
        "sine:20:1e400s",    // beyond a double
    };
    for (const char* text : bad)
        EXPECT_THROW(sim::parse_wave(text), std::invalid_argument) << '"' << text << '"';
}

TEST(SimNoise, TextForms)
{
    using K = sim::Noise::Kind;
    const struct {
        const char* text;
        K kind;
        double size;
        const char* printed;
    } good[] = {
        {"0.5", K::uniform, 0.5, "uniform:0.5"},  // a bare size is uniform
        {"uniform:2", K::uniform, 2, "uniform:2"},
        {"gaussian:0.25", K::gaussian, 0.25, "gaussian:0.25"},
        {"0", K::none, 0, "none"},  // no noise at all
        {"none", K::none, 0, "none"},
    };
    for (const auto& c : good) {
        SCOPED_TRACE(c.text);
        const auto noise = sim::parse_noise(c.text);
        EXPECT_EQ(noise.kind, c.kind);
        EXPECT_DOUBLE_EQ(noise.size, c.size);
        EXPECT_EQ(sim::to_string(noise), c.printed);
    }
    for (const char* text : {"", "-0.5", "pink:1", "gaussian:", "gaussian:-1", "uniform:x", "nan", "0.5:1"})
        EXPECT_THROW(sim::parse_noise(text), std::invalid_argument) << '"' << text << '"';
}

struct Drawn {
    double least = INFINITY, most = -INFINITY, sum = 0, squares = 0;
    int n = 0;
    void add(double x)
    {
        least = std::min(least, x);
        most = std::max(most, x);
        sum += x;
        squares += x * x;
        ++n;
    }
    double mean() const { return sum / n; }
    double deviation() const { return std::sqrt(squares / n - mean() * mean()); }
};

TEST(SimNoise, BoundedAndShapedAsDocumented)
{
    sim::Random random(42);
    Drawn uniform, gaussian;
    for (int i = 0; i < 20000; ++i) {
        uniform.add(sim::Noise{sim::Noise::Kind::uniform, 0.5}.draw(random));
        gaussian.add(sim::Noise{sim::Noise::Kind::gaussian, 0.2}.draw(random));
    }
    // Uniform: within ±S, filling it, centred.
    EXPECT_GE(uniform.least, -0.5);
    EXPECT_LE(uniform.most, 0.5);
    EXPECT_LT(uniform.least, -0.49);
    EXPECT_GT(uniform.most, 0.49);
    EXPECT_NEAR(uniform.mean(), 0, 0.01);
    EXPECT_NEAR(uniform.deviation(), 0.5 / std::sqrt(3.0), 0.01);
    // Gaussian: the standard deviation asked for, never past the cut-off.
    EXPECT_NEAR(gaussian.mean(), 0, 0.01);
    EXPECT_NEAR(gaussian.deviation(), 0.2, 0.01);
    EXPECT_GE(gaussian.least, -0.8);
    EXPECT_LE(gaussian.most, 0.8);
}

TEST(SimNoise, TheSeedRepeatsARunAndEachInstrumentHasItsOwnStream)
{
    const auto readings = [](std::uint64_t seed) {
        sim::Random random(seed);
        const sim::Measurement f{50.0f, {}, sim::Noise{sim::Noise::Kind::gaussian, 1}};
        std::vector<float> values;
        for (int i = 0; i < 50; ++i)
            values.push_back(f.at(i, random));
        return values;
    };
    EXPECT_EQ(readings(7), readings(7));
    EXPECT_NE(readings(7), readings(8));

    const auto a = sim::stream_seed(7, "127.0.0.1", "noise");
    EXPECT_EQ(a, sim::stream_seed(7, "127.0.0.1", "noise"));
    EXPECT_NE(a, sim::stream_seed(7, "127.0.0.2", "noise"));  // another instrument
    EXPECT_NE(a, sim::stream_seed(7, "127.0.0.1", "fault"));  // another purpose
    EXPECT_NE(a, sim::stream_seed(8, "127.0.0.1", "noise"));  // another run
}

TEST(SimMeasurement, ReadingsThatCannotFitAFloatAreCaught)
{
    EXPECT_TRUE((sim::Measurement{3e38f, {Wave::Shape::sine, 4e37, 1, 0}, {}}.fits_float()));
    EXPECT_FALSE((sim::Measurement{3e38f, {Wave::Shape::sine, 1e38, 1, 0}, {}}.fits_float()));
    EXPECT_FALSE((sim::Measurement{-3e38f, {}, {sim::Noise::Kind::gaussian, 2e37}}.fits_float()));  // 4 S
    EXPECT_TRUE((sim::Measurement{INFINITY, {Wave::Shape::sine, 1, 1, 0}, {}}.fits_float()));  // as set
}

sim::Plant resolve(const std::string& file_text, sim::PlantRequest request = {})
{
    PlantFile file(file_text);
    request.config = file.path();
    return sim::resolve_plant(request, 99);
}

const sim::Settings& settings_of(const sim::Plant& plant, const std::string& address)
{
    for (const auto& instrument : plant.instruments)
        if (instrument.address == address)
            return instrument.settings;
    throw std::runtime_error("no instrument at " + address);
}

TEST(SimPlant, LayersFromDefaultsUpToEntriesForAnAddress)
{
    sim::PlantRequest request;
    request.listen = {"127.0.0.20"};
    request.flags.f = 7.0f;
    request.flags.fault = sim::parse_fault("exception");
    const auto plant = resolve(R"({
        "port": 1502, "seed": 11,
        "listen": "127.0.0.1-127.0.0.3",
        "defaults": {"fpm": 100, "fpm-wave": "sine:5:10s", "f": 1, "fault-rate": 0.5},
        "instruments": [
            {"listen": "127.0.0.2-127.0.0.3", "fpm": 200, "fpm-noise": "gaussian:0.1"},
            {"listen": ["127.0.0.3", "127.0.0.9"], "fault": "first-silent", "f-wave": "ramp:1:1s"}
        ]})",
                               request);
    EXPECT_EQ(plant.port, 1502);
    EXPECT_EQ(plant.seed, 11u);
    std::vector<std::string> addresses;
    for (const auto& instrument : plant.instruments)
        addresses.push_back(instrument.address);
    // --listen's, the file's and its entries', once each, in the order first named.
    EXPECT_EQ(addresses, (std::vector<std::string>{"127.0.0.20", "127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.9"}));

    // The file's defaults, under the flags.
    const auto& plain = settings_of(plant, "127.0.0.1");
    EXPECT_EQ(plain.fpm.value, 100.0f);
    EXPECT_EQ(plain.fpm.wave.shape, Wave::Shape::sine);
    EXPECT_EQ(plain.f.value, 7.0f);  // the flag beats the file's defaults
    EXPECT_EQ(plain.fault.mode, sim::FaultMode::exception);
    EXPECT_EQ(plain.fault.rate, 0.5);  // the rate of the defaults stays with the flag's fault

    // An entry beats the flags and the defaults, key by key.
    const auto& second = settings_of(plant, "127.0.0.2");
    EXPECT_EQ(second.fpm.value, 200.0f);
    EXPECT_EQ(second.fpm.noise.kind, sim::Noise::Kind::gaussian);
    EXPECT_EQ(second.fpm.wave.shape, Wave::Shape::sine);  // kept from the defaults

    // Two entries for one address: the later one's keys on top of the earlier one's.
    const auto& both = settings_of(plant, "127.0.0.3");
    EXPECT_EQ(both.fpm.value, 200.0f);
    EXPECT_EQ(both.fault.mode, sim::FaultMode::silent);
    EXPECT_TRUE(both.fault.first_only);
    EXPECT_EQ(both.f.wave.shape, Wave::Shape::ramp);

    // Only the command line's address: defaults and flags.
    EXPECT_EQ(settings_of(plant, "127.0.0.20").fpm.value, 100.0f);

    // The command line's port and seed win over the file's.
    request.port = 0;
    request.seed = 5;
    const auto flags_win = resolve(R"({"port": 1502, "seed": 11})", request);
    EXPECT_EQ(flags_win.port, 0);
    EXPECT_EQ(flags_win.seed, 5u);
}

TEST(SimPlant, WithoutAnAddressAnywhereServes127001)
{
    const auto plant = sim::resolve_plant({}, 1234);
    ASSERT_EQ(plant.instruments.size(), 1u);
    EXPECT_EQ(plant.instruments[0].address, "127.0.0.1");
    EXPECT_EQ(plant.port, 502);
    EXPECT_EQ(plant.seed, 1234u);  // no seed given: the one drawn for this run
    const auto& defaults = plant.instruments[0].settings;
    EXPECT_EQ(defaults.fpm.value, 350.0f);
    EXPECT_EQ(defaults.f.value, 50.0f);
    EXPECT_FALSE(defaults.fpm.moves());
    EXPECT_EQ(defaults.fault.mode, sim::FaultMode::none);
}

TEST(SimPlant, BadFilesGetOneLineSayingWhereAndWhat)
{
    const struct {
        const char* text;
        const char* says;
        const char* why;
    } cases[] = {
        {"{\"fpm\": 1,}", ":1:11: syntax error", "a syntax error, with line and column"},
        {"{\n  \"defaults\": {\n    \"fpm\": 35O\n  }\n}", ":3:14: syntax error", "on a later line"},
        {"", ":1:1: syntax error", "an empty file"},
        {"[]", ": the plant must be a JSON object", "not an object"},
        {R"({"defualts": {}})", ": defualts: unknown key", "a misspelt key"},
        {R"({"defaults": {"fmp": 1}})", ": defaults.fmp: unknown key", "a misspelt setting"},
        {R"({"defaults": {"fpm": "350"}})", ": defaults.fpm: must be a number", "a number as text"},
        {R"({"defaults": {"fpm": 1e39}})", ": defaults.fpm: 1e+39 is beyond what a float holds", "too big"},
        {R"({"defaults": {"fpm-wave": "sine:20"}})", ": defaults.fpm-wave: wave 'sine:20' is not", "a bad wave"},
        {R"({"defaults": {"f-noise": "pink:1"}})", ": defaults.f-noise: unknown noise 'pink:1'", "a bad noise"},
        {R"({"defaults": {"fault": "sometimes"}})", ": defaults.fault: unknown fault mode", "a bad fault"},
        {R"({"defaults": {"fault-rate": 1.5}})", ": defaults.fault-rate: must be from 0 to 1", "a rate above 1"},
        {R"({"defaults": []})", ": defaults: must be an object", "defaults not an object"},
        {R"({"instruments": {"listen": "127.0.0.1"}})", ": instruments: must be a list", "entries not a list"},
        {R"({"instruments": [{"fpm": 1}]})", ": instruments[0]: has no listen", "an entry for no address"},
        {R"({"instruments": [{"listen": "127.0.0.1"}, {"listen": "127.0.0.9-127.0.0.1"}]})",
         ": instruments[1].listen: range '127.0.0.9-127.0.0.1' runs backwards", "a bad range, in the second entry"},
        {R"({"instruments": [{"listen": []}]})", ": instruments[0].listen: must be an address", "no address in it"},
        {R"({"listen": ["127.0.0.1", 5]})", ": listen[1]: must be a string", "an address as a number"},
        {R"({"listen": "10.0.0.0-10.2.0.0"})", "more than 65536", "too many addresses"},
        {R"({"port": 70000})", ": port: must be a whole number from 0 to 65535", "a port out of range"},
        {R"({"port": 502.5})", ": port: must be a whole number", "a fraction of a port"},
        {R"({"seed": -1})", ": seed: must be a whole number", "a negative seed"},
        {R"({"port": 502, "port": 503})", ": key 'port' is given twice", "a key twice: one would be lost"},
        {R"({"defaults": {"fpm": 3e38, "fpm-wave": "sine:1e38:1s"}})",
         "127.0.0.1: FPM 3e+38 with wave sine:1e+38:1s and noise none can go beyond what a float holds",
         "a wave that would overflow"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        PlantFile file(c.text);
        sim::PlantRequest request;
        request.config = file.path();
        try {
            sim::resolve_plant(request, 0);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const sim::PlantError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find(c.says), std::string::npos) << what;
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
            if (std::string(c.says).starts_with(":")) {
                EXPECT_EQ(what.rfind(file.path(), 0), 0u) << what;  // names the file first
            }
        }
    }
    sim::PlantRequest missing;
    missing.config = "/nonexistent/plant.json";
    EXPECT_THROW(
        {
            try {
                sim::resolve_plant(missing, 0);
            } catch (const sim::PlantError& e) {
                EXPECT_STREQ(e.what(), "/nonexistent/plant.json: cannot read it: No such file or directory");
                throw;
            }
        },
        sim::PlantError);
}

TEST(SimPlant, TheExampleFileIsAValidPlant)
{
    sim::PlantRequest request;
    request.config = MARVOK_SIM_EXAMPLES "/plant.json";
    const auto plant = sim::resolve_plant(request, 0);
    EXPECT_EQ(plant.instruments.size(), 200u);
    EXPECT_EQ(plant.seed, 2024u);
    EXPECT_EQ(settings_of(plant, "127.0.1.1").fpm.wave.shape, Wave::Shape::ramp);
    EXPECT_EQ(settings_of(plant, "127.0.1.120").fault.rate, 0.05);
    EXPECT_FALSE(settings_of(plant, "127.0.1.200").fpm.moves());
}

TEST(SimPlant, DumpListsEverySettingOfEachInstrument)
{
    sim::PlantRequest request;
    request.listen = {"127.0.0.9-127.0.0.10"};
    request.seed = 3;
    const auto plant = resolve(R"({"instruments": [{"listen": "127.0.0.10", "fpm": 12.5,
        "fpm-wave": "square:2:1s", "f-noise": "0.25", "fault": "late:300", "fault-rate": 0.05}]})",
                               request);
    EXPECT_EQ(sim::dump(plant),
              "# marvok-sim plant: 2 instruments, port 502, seed 3\n"
              "127.0.0.9 fpm=350 fpm-wave=none fpm-noise=none f=50 f-wave=none f-noise=none fault=none "
              "fault-rate=1\n"
              "127.0.0.10 fpm=12.5 fpm-wave=square:2:1s fpm-noise=none f=50 f-wave=none f-noise=uniform:0.25 "
              "fault=late:300 fault-rate=0.05\n");
}

}  // namespace
}  // namespace marvok::test
