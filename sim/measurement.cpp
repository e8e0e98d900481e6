#include "measurement.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <utility>
#include <vector>

namespace marvok::sim {

namespace {

constexpr double two_pi = 2.0 * std::numbers::pi;

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos)
            return parts;
        text.remove_prefix(at + 1);
    }
}

constexpr std::array<std::pair<std::string_view, Wave::Shape>, 5> shapes{{
    {"none", Wave::Shape::none},
    {"sine", Wave::Shape::sine},
    {"square", Wave::Shape::square},
    {"triangle", Wave::Shape::triangle},
    {"ramp", Wave::Shape::ramp},
}};

std::string in_quotes(std::string_view text) { return "'" + std::string(text) + "'"; }

template <class Number>
std::string shortest(Number value)
{
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return ec == std::errc{} ? std::string(buffer, end) : "?";
}

}  // namespace

std::uint64_t Random::next()
{
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

double Random::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

double Random::gaussian()
{
    // Box-Muller; 1 - uniform() is in (0, 1], so the logarithm is finite.
    const double radius = std::sqrt(-2.0 * std::log(1.0 - uniform()));
    return radius * std::cos(two_pi * uniform());
}

std::uint64_t stream_seed(std::uint64_t seed, std::string_view address, std::string_view purpose)
{
    // FNV-1a over the address and the purpose, mixed with the seed.
    std::uint64_t hash = 0xCBF29CE484222325ULL;
    for (const std::string_view text : {address, std::string_view("/"), purpose})
        for (const char c : text) {
            hash ^= static_cast<unsigned char>(c);
            hash *= 0x100000001B3ULL;
        }
    Random mix(seed ^ hash);
    return mix.next();
}

double Wave::unit_at(double seconds) const
{
    if (shape == Shape::none)
        return 0;
    double turn = std::fmod((seconds + phase) / period, 1.0);
    if (turn < 0)
        turn += 1.0;
    switch (shape) {
    case Shape::sine: return std::sin(two_pi * turn);
    case Shape::square: return turn < 0.5 ? 1.0 : -1.0;
    case Shape::triangle:
        if (turn < 0.25)
            return 4 * turn;
        if (turn < 0.75)
            return 2 - 4 * turn;
        return 4 * turn - 4;
    case Shape::ramp: return 2 * turn - 1;
    case Shape::none: break;
    }
    return 0;
}

double Noise::draw(Random& random) const
{
    switch (kind) {
    case Kind::uniform: return size * (2 * random.uniform() - 1);
    case Kind::gaussian: {
        const double z = std::clamp(random.gaussian(), -gaussian_cutoff, gaussian_cutoff);
        return size * z;
    }
    case Kind::none: break;
    }
    return 0;
}

double Noise::reach() const
{
    switch (kind) {
    case Kind::uniform: return size;
    case Kind::gaussian: return size * gaussian_cutoff;
    case Kind::none: break;
    }
    return 0;
}

float Measurement::at(double seconds, Random& random) const
{
    const double moved = wave.amplitude * wave.unit_at(seconds) + noise.draw(random);
    return static_cast<float>(static_cast<double>(value) + moved);
}

bool Measurement::fits_float() const
{
    if (!std::isfinite(value))
        return true;
    const double reach = std::abs(static_cast<double>(value)) + std::abs(wave.amplitude) + noise.reach();
    return reach <= std::numeric_limits<float>::max();
}

double parse_number(std::string_view text)
{
    std::string_view digits = text;
    if (digits.starts_with('+'))
        digits.remove_prefix(1);
    double value = 0;
    const auto end = digits.data() + digits.size();
    const auto [ptr, ec] = std::from_chars(digits.data(), end, value);
    if (digits.empty() || ec != std::errc{} || ptr != end || !std::isfinite(value))
        throw std::invalid_argument(in_quotes(text) + " is not a finite number");
    return value;
}

double parse_seconds(std::string_view text)
{
    static constexpr std::pair<std::string_view, double> units[] = {
        {"ms", 0.001}, {"min", 60.0}, {"s", 1.0}, {"h", 3600.0}};
    double scale = 1.0;
    std::string_view number = text;
    for (const auto& [suffix, factor] : units)
        if (text.ends_with(suffix)) {
            number = text.substr(0, text.size() - suffix.size());
            scale = factor;
            break;
        }
    try {
        const double seconds = parse_number(number) * scale;
        if (!std::isfinite(seconds))
            throw std::invalid_argument("");
        return seconds;
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument(in_quotes(text) + " is not a duration (a number with ms, s, min or h)");
    }
}

Wave parse_wave(std::string_view text)
{
    if (text == "none")
        return {};
    const auto parts = split(text, ':');
    Wave wave;
    bool known = false;
    for (const auto& [name, shape] : shapes)
        if (parts[0] == name && shape != Wave::Shape::none) {
            wave.shape = shape;
            known = true;
        }
    if (!known)
        throw std::invalid_argument("unknown wave " + in_quotes(text) + " (none, sine, square, triangle or ramp)");
    if (parts.size() < 3 || parts.size() > 4)
        throw std::invalid_argument("wave " + in_quotes(text) + " is not SHAPE:AMPLITUDE:PERIOD[:PHASE]");
    wave.amplitude = parse_number(parts[1]);
    wave.period = parse_seconds(parts[2]);
    if (!(wave.period > 0))
        throw std::invalid_argument("the period of wave " + in_quotes(text) + " must be more than 0");
    if (parts.size() == 4)
        wave.phase = parse_seconds(parts[3]);
    return wave;
}

Noise parse_noise(std::string_view text)
{
    if (text == "none")
        return {};
    Noise noise{Noise::Kind::uniform, 0};
    std::string_view size = text;
    if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        const auto kind = text.substr(0, colon);
        if (kind == "gaussian")
            noise.kind = Noise::Kind::gaussian;
        else if (kind != "uniform")
            throw std::invalid_argument("unknown noise " + in_quotes(text) + " (none, S, uniform:S or gaussian:S)");
        size = text.substr(colon + 1);
    }
    try {
        noise.size = parse_number(size);
    } catch (const std::invalid_argument&) {
        throw std::invalid_argument("noise " + in_quotes(text) + " is not none, S, uniform:S or gaussian:S");
    }
    if (noise.size < 0)
        throw std::invalid_argument("the size of noise " + in_quotes(text) + " must be 0 or more");
    if (noise.size == 0)
        return {};
    return noise;
}

std::string to_string(const Wave& wave)
{
    if (wave.shape == Wave::Shape::none)
        return "none";
    std::string text;
    for (const auto& [name, shape] : shapes)
        if (shape == wave.shape)
            text = name;
    text += ":" + format_number(wave.amplitude) + ":" + format_number(wave.period) + "s";
    if (wave.phase != 0)
        text += ":" + format_number(wave.phase) + "s";
    return text;
}

std::string to_string(const Noise& noise)
{
    switch (noise.kind) {
    case Noise::Kind::uniform: return "uniform:" + format_number(noise.size);
    case Noise::Kind::gaussian: return "gaussian:" + format_number(noise.size);
    case Noise::Kind::none: break;
    }
    return "none";
}

std::string format_number(double value) { return shortest(value); }
std::string format_number(float value) { return shortest(value); }

}  // namespace marvok::sim
