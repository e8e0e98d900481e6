// The plant a marvok-sim process serves: address ranges, a plant file (JSON),
// and each instrument's settings resolved from the layers that may give them,
// plus the listing --dump prints. No sockets: resolving only reads the file.
#pragma once

#include "simulator.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace marvok::sim {

inline constexpr std::size_t max_addresses = 65536;  // in one range, and in a plant

// Every address of "ADDR" or "FIRST-LAST" (numeric, both ends of one family,
// FIRST not after LAST, at most max_addresses), in order, in the form Asio
// prints. Throws std::invalid_argument with a one-line reason.
std::vector<std::string> expand_range(std::string_view text);

// The settings one layer gives; what it leaves out, the layers under it decide.
struct SettingsPatch {
    std::optional<float> fpm, f;
    std::optional<Wave> fpm_wave, f_wave;
    std::optional<Noise> fpm_noise, f_noise;
    std::optional<Fault> fault;  // its rate is not used: see fault_rate
    std::optional<double> fault_rate;

    void apply_to(Settings& settings) const;
    void merge(const SettingsPatch& over);  // what `over` gives wins
};

// What the command line asks for.
struct PlantRequest {
    std::vector<std::string> listen;  // addresses and ranges
    SettingsPatch flags;
    std::optional<std::uint16_t> port;
    std::optional<std::uint64_t> seed;
    std::string config;  // a plant file, or empty
};

struct Plant {
    // In the order first named: --listen, the file's listen, its entries.
    std::vector<InstrumentOptions> instruments;
    std::uint16_t port = 502;
    std::uint64_t seed = 0;
};

struct PlantError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Each instrument's settings are, from the lowest layer up: the built-in
// defaults, the file's "defaults", the command line's flags, then the file's
// "instruments" entries that name its address, in file order. The addresses
// are those of --listen, the file's "listen" and its entries (127.0.0.1 when
// none is named anywhere); the command line's port and seed win over the
// file's, and `fallback_seed` is used when neither gives one.
// Throws PlantError with one line: the file and where in it for a bad file
// (line and column for a syntax error, the key for a bad value).
Plant resolve_plant(const PlantRequest& request, std::uint64_t fallback_seed);

// One header line, then one line per instrument with every setting under
// the names the plant file uses.
std::string dump(const Plant& plant);

}  // namespace marvok::sim
