// How a simulated measurement moves: a set point, an optional waveform around
// it and optional noise on each reading, and the text forms the command line,
// the plant file and --dump share. Pure functions of time and a seeded
// generator, so tests can ask for the value at any moment without waiting.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace marvok::sim {

// splitmix64: eight bytes of state, so thousands of instruments stay small,
// and the same numbers on every platform for the same seed (the standard
// distributions are not specified to that degree).
class Random {
public:
    explicit Random(std::uint64_t seed = 0) : state_(seed) {}
    std::uint64_t next();
    double uniform();   // in [0, 1)
    double gaussian();  // standard normal

private:
    std::uint64_t state_;
};

// A stream of its own for each instrument and purpose, from the plant's seed.
std::uint64_t stream_seed(std::uint64_t seed, std::string_view address, std::string_view purpose);

struct Wave {
    enum class Shape : std::uint8_t { none, sine, square, triangle, ramp };
    Shape shape = Shape::none;
    double amplitude = 0;
    double period = 1;  // seconds, more than 0
    double phase = 0;   // seconds into the period at time 0

    // In [-1, 1] at `seconds`: sine, square and triangle start at 0 (square
    // at +1) and rise, so all three agree in sign; ramp climbs from -1 to +1
    // over each period and drops back.
    double unit_at(double seconds) const;
};

struct Noise {
    enum class Kind : std::uint8_t { none, uniform, gaussian };
    Kind kind = Kind::none;
    double size = 0;  // uniform: half the width; gaussian: standard deviation

    // Gaussian noise is cut off at this many standard deviations, so a reading
    // never lands absurdly far from the wave.
    static constexpr double gaussian_cutoff = 4.0;
    double draw(Random& random) const;
    double reach() const;  // the largest |draw()|
};

struct Measurement {
    float value = 0;  // the set point
    Wave wave{};
    Noise noise{};

    bool moves() const { return wave.shape != Wave::Shape::none || noise.kind != Noise::Kind::none; }
    // The reading at `seconds`; noise comes from `random`.
    float at(double seconds, Random& random) const;
    // Whether every reading stays within what a float holds (a set point that
    // is itself infinite or NaN is served as it is).
    bool fits_float() const;
};

// The text forms; the parsers throw std::invalid_argument with a short reason.
//   wave:  none | SHAPE:AMPLITUDE:PERIOD[:PHASE], SHAPE one of sine, square,
//          triangle, ramp; PERIOD and PHASE durations
//   noise: none | S (uniform) | uniform:S | gaussian:S, S at least 0
//   duration: a number with ms, s, min or h (bare: seconds)
Wave parse_wave(std::string_view text);
Noise parse_noise(std::string_view text);
double parse_seconds(std::string_view text);
// A finite number, optionally signed, with nothing after it.
double parse_number(std::string_view text);

std::string to_string(const Wave& wave);
std::string to_string(const Noise& noise);
// Shortest text that reads back as the same value.
std::string format_number(double value);
std::string format_number(float value);

}  // namespace marvok::sim
