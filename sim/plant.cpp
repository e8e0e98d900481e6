#include "plant.h"

#include <asio/ip/address.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <set>
#include <span>

namespace marvok::sim {

namespace {

using nlohmann::json;
using asio::ip::address;

std::string in_quotes(std::string_view text) { return "'" + std::string(text) + "'"; }

address parse_address(std::string_view text)
{
    std::error_code ec;
    const auto parsed = asio::ip::make_address(std::string(text), ec);
    if (ec)
        throw std::invalid_argument(in_quotes(text) + " is not a numeric IPv4 or IPv6 address");
    return parsed;
}

// Big-endian bytes of either family, so that one walk serves both.
template <class Bytes>
Bytes plus_one(Bytes bytes)
{
    for (auto at = bytes.size(); at-- > 0;)
        if (++bytes[at] != 0)
            break;
    return bytes;
}

// LAST - FIRST + 1, or nothing when it is above max_addresses.
template <class Bytes>
std::optional<std::size_t> span_of(const Bytes& first, const Bytes& last)
{
    // Subtraction byte by byte from the least significant end.
    Bytes difference{};
    int borrow = 0;
    for (auto at = first.size(); at-- > 0;) {
        int digit = int(last[at]) - int(first[at]) - borrow;
        borrow = digit < 0;
        difference[at] = static_cast<std::uint8_t>(digit + (borrow ? 256 : 0));
    }
    std::uint64_t count = 0;
    for (std::size_t at = 0; at < difference.size(); ++at) {
        count = count * 256 + difference[at];
        if (count >= max_addresses)
            return std::nullopt;
    }
    return static_cast<std::size_t>(count + 1);
}

template <class Bytes, class Make>
std::vector<std::string> walk(Bytes first, std::size_t count, Make make)
{
    std::vector<std::string> addresses;
    addresses.reserve(count);
    for (std::size_t i = 0; i < count; ++i, first = plus_one(first))
        addresses.push_back(make(first).to_string());
    return addresses;
}

// The plant file -------------------------------------------------------------

// A value for an error message: a scalar as written, a list or an object by
// its kind (it may be huge, or nested deeper than printing should recurse).
std::string shown(const json& value)
{
    return value.is_primitive() ? value.dump() : std::string("an ") + value.type_name();
}

// Where in the file a value is, as "instruments[2].fault".
std::string child(const std::string& where, std::string_view key)
{
    return where.empty() ? std::string(key) : where + "." + std::string(key);
}

class FileReader {
public:
    explicit FileReader(std::string path) : path_(std::move(path)) {}

    json load()
    {
        std::error_code ec;
        if (std::filesystem::is_directory(path_, ec))
            fail("cannot read it: it is a folder");
        std::ifstream in(path_, std::ios::binary);
        if (!in)
            fail("cannot read it: " + std::string(std::strerror(errno)));
        text_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad())
            fail("cannot read it");

        // A key given twice would silently lose one of its values.
        std::vector<std::set<std::string>> keys;
        std::string duplicate;
        const json::parser_callback_t watch = [&](int, json::parse_event_t event, json& parsed) {
            if (event == json::parse_event_t::object_start)
                keys.emplace_back();
            else if (event == json::parse_event_t::object_end)
                keys.pop_back();
            else if (event == json::parse_event_t::key && !keys.empty() &&
                     !keys.back().insert(parsed.get<std::string>()).second && duplicate.empty())
                duplicate = parsed.get<std::string>();
            return true;
        };
        json document;
        try {
            document = json::parse(text_, watch);
        } catch (const json::parse_error& e) {
            syntax_error(e);
        }
        if (!duplicate.empty())
            fail("key " + in_quotes(duplicate) + " is given twice in one object");
        if (!document.is_object())
            fail("the plant must be a JSON object");
        return document;
    }

    [[noreturn]] void fail(const std::string& what) const { throw PlantError(path_ + ": " + what); }
    [[noreturn]] void fail(const std::string& where, const std::string& what) const
    {
        fail(where + ": " + what);
    }

    // Only the keys named; any other is most likely a typo.
    void only(const json& object, const std::string& where, std::span<const std::string_view> known) const
    {
        for (const auto& [key, value] : object.items())
            if (std::find(known.begin(), known.end(), key) == known.end()) {
                std::string list;
                for (const auto name : known)
                    list += (list.empty() ? "" : ", ") + std::string(name);
                fail(child(where, key), "unknown key (known: " + list + ")");
            }
    }

    double number(const json& value, const std::string& where) const
    {
        if (!value.is_number())
            fail(where, "must be a number, not " + shown(value));
        return value.get<double>();
    }

    float measurement(const json& value, const std::string& where) const
    {
        const double number = this->number(value, where);
        if (!(std::abs(number) <= std::numeric_limits<float>::max()))
            fail(where, value.dump() + " is beyond what a float holds");
        return static_cast<float>(number);
    }

    std::string text(const json& value, const std::string& where) const
    {
        if (!value.is_string())
            fail(where, "must be a string, not " + shown(value));
        return value.get<std::string>();
    }

    template <class Parse>
    auto parsed(const json& value, const std::string& where, Parse parse) const
    {
        const auto text = this->text(value, where);
        try {
            return parse(text);
        } catch (const std::invalid_argument& e) {
            fail(where, e.what());
        }
    }

    std::uint64_t whole(const json& value, const std::string& where, std::uint64_t most) const
    {
        // The parser keeps whole numbers of 0 and more as unsigned.
        if (!value.is_number_unsigned() || value.get<std::uint64_t>() > most)
            fail(where, "must be a whole number from 0 to " + std::to_string(most) + ", not " + shown(value));
        return value.get<std::uint64_t>();
    }

    SettingsPatch settings(const json& object, const std::string& where) const
    {
        SettingsPatch patch;
        for (const auto& [key, value] : object.items()) {
            const auto at = child(where, key);
            if (key == "fpm")
                patch.fpm = measurement(value, at);
            else if (key == "f")
                patch.f = measurement(value, at);
            else if (key == "fpm-wave")
                patch.fpm_wave = parsed(value, at, parse_wave);
            else if (key == "f-wave")
                patch.f_wave = parsed(value, at, parse_wave);
            else if (key == "fpm-noise")
                patch.fpm_noise = parsed(value, at, parse_noise);
            else if (key == "f-noise")
                patch.f_noise = parsed(value, at, parse_noise);
            else if (key == "fault")
                patch.fault = parsed(value, at, [](const std::string& text) {
                    const auto fault = parse_fault(text);
                    if (!fault)
                        throw std::invalid_argument("unknown fault mode " + in_quotes(text) + " (see --help)");
                    return *fault;
                });
            else if (key == "fault-rate") {
                const double rate = number(value, at);
                if (!(rate >= 0 && rate <= 1))
                    fail(at, "must be from 0 to 1, not " + value.dump());
                patch.fault_rate = rate;
            }
        }
        return patch;
    }

    std::vector<std::string> listen(const json& value, const std::string& where) const
    {
        std::vector<std::string> items;
        if (value.is_string()) {
            items.push_back(value.get<std::string>());
        } else if (value.is_array() && !value.empty()) {
            for (std::size_t i = 0; i < value.size(); ++i)
                items.push_back(text(value[i], where + "[" + std::to_string(i) + "]"));
        } else {
            fail(where, "must be an address or range, or a list of them, not " + shown(value));
        }
        std::vector<std::string> addresses;
        for (const auto& item : items) {
            try {
                auto more = expand_range(item);
                addresses.insert(addresses.end(), more.begin(), more.end());
            } catch (const std::invalid_argument& e) {
                fail(where, e.what());
            }
        }
        return addresses;
    }

private:
    [[noreturn]] void syntax_error(const json::parse_error& e) const
    {
        // Line and column of the byte the parser stopped at.
        const auto stop = std::min<std::size_t>(e.byte > 0 ? e.byte - 1 : 0, text_.size());
        const auto line = 1 + std::count(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(stop), '\n');
        const auto line_start = text_.rfind('\n', stop == 0 ? 0 : stop - 1);
        const auto column = stop - (line_start == std::string::npos || stop == 0 ? 0 : line_start + 1) + 1;
        std::string what = e.what();
        // nlohmann's own prefix ("[json.exception...] parse error at line L, column C: ").
        if (const auto column_at = what.find("column "); column_at != std::string::npos)
            if (const auto colon = what.find(": ", column_at); colon != std::string::npos)
                what.erase(0, colon + 2);
        throw PlantError(path_ + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + what);
    }

    std::string path_;
    std::string text_;
};

// The keys of an entry: its addresses and the settings of the defaults.
constexpr std::array<std::string_view, 9> entry_keys = {
    "listen", "fpm", "fpm-wave", "fpm-noise", "f", "f-wave", "f-noise", "fault", "fault-rate"};
constexpr auto setting_keys = std::span(entry_keys).subspan(1);
constexpr std::array<std::string_view, 5> top_keys = {"port", "seed", "listen", "defaults", "instruments"};

// The addresses of a plant in the order they were first named, each with
// the patch of its own entries.
class Entries {
public:
    void add(const std::vector<std::string>& addresses, const SettingsPatch& patch = {})
    {
        for (const auto& text : addresses) {
            const auto [at, added] = index_.try_emplace(asio::ip::make_address(text), list_.size());
            if (added)
                list_.push_back({text, {}});
            if (list_.size() > max_addresses)
                throw PlantError("the plant has more than " + std::to_string(max_addresses) + " addresses");
            list_[at->second].second.merge(patch);
        }
    }
    bool empty() const { return list_.empty(); }
    const std::vector<std::pair<std::string, SettingsPatch>>& list() const { return list_; }

private:
    std::map<address, std::size_t> index_;
    std::vector<std::pair<std::string, SettingsPatch>> list_;
};

std::string describe(const Measurement& measurement)
{
    return format_number(measurement.value) + " with wave " + to_string(measurement.wave) + " and noise " +
           to_string(measurement.noise);
}

}  // namespace

std::vector<std::string> expand_range(std::string_view text)
{
    const auto dash = text.find('-');
    if (dash == std::string_view::npos) {
        return {parse_address(text).to_string()};
    }
    const auto first = parse_address(text.substr(0, dash)), last = parse_address(text.substr(dash + 1));
    const auto range = "range " + in_quotes(text);
    if (first.is_v4() != last.is_v4())
        throw std::invalid_argument(range + " mixes IPv4 and IPv6");
    if (last < first)
        throw std::invalid_argument(range + " runs backwards: its first address is after its last");
    const auto too_many = [&] {
        return std::invalid_argument(range + " has more than " + std::to_string(max_addresses) + " addresses");
    };
    if (first.is_v4()) {
        const auto count = span_of(first.to_v4().to_bytes(), last.to_v4().to_bytes());
        if (!count)
            throw too_many();
        return walk(first.to_v4().to_bytes(), *count, [](const auto& bytes) { return asio::ip::address_v4(bytes); });
    }
    const auto count = span_of(first.to_v6().to_bytes(), last.to_v6().to_bytes());
    if (!count)
        throw too_many();
    return walk(first.to_v6().to_bytes(), *count, [](const auto& bytes) { return asio::ip::address_v6(bytes); });
}

void SettingsPatch::apply_to(Settings& settings) const
{
    if (fpm)
        settings.fpm.value = *fpm;
    if (f)
        settings.f.value = *f;
    if (fpm_wave)
        settings.fpm.wave = *fpm_wave;
    if (f_wave)
        settings.f.wave = *f_wave;
    if (fpm_noise)
        settings.fpm.noise = *fpm_noise;
    if (f_noise)
        settings.f.noise = *f_noise;
    if (fault) {
        const double rate = settings.fault.rate;
        settings.fault = *fault;
        settings.fault.rate = rate;
    }
    if (fault_rate)
        settings.fault.rate = *fault_rate;
}

void SettingsPatch::merge(const SettingsPatch& over)
{
    const auto take = [](auto& mine, const auto& theirs) {
        if (theirs)
            mine = theirs;
    };
    take(fpm, over.fpm);
    take(f, over.f);
    take(fpm_wave, over.fpm_wave);
    take(f_wave, over.f_wave);
    take(fpm_noise, over.fpm_noise);
    take(f_noise, over.f_noise);
    take(fault, over.fault);
    take(fault_rate, over.fault_rate);
}

Plant resolve_plant(const PlantRequest& request, std::uint64_t fallback_seed)
{
    Plant plant;
    SettingsPatch file_defaults;
    Entries entries;
    std::optional<std::uint16_t> file_port;
    std::optional<std::uint64_t> file_seed;

    for (const auto& item : request.listen) {
        try {
            entries.add(expand_range(item));
        } catch (const std::invalid_argument& e) {
            throw PlantError(std::string("--listen: ") + e.what());
        }
    }

    if (!request.config.empty()) {
        FileReader file(request.config);
        const json document = file.load();
        file.only(document, "", top_keys);
        if (document.contains("port"))
            file_port = static_cast<std::uint16_t>(file.whole(document["port"], "port", 65535));
        if (document.contains("seed"))
            file_seed = file.whole(document["seed"], "seed", std::numeric_limits<std::uint64_t>::max());
        if (document.contains("listen"))
            entries.add(file.listen(document["listen"], "listen"));
        if (document.contains("defaults")) {
            const auto& defaults = document["defaults"];
            if (!defaults.is_object())
                file.fail("defaults", "must be an object of settings");
            file.only(defaults, "defaults", setting_keys);
            file_defaults = file.settings(defaults, "defaults");
        }
        if (document.contains("instruments")) {
            const auto& list = document["instruments"];
            if (!list.is_array())
                file.fail("instruments", "must be a list of objects");
            for (std::size_t i = 0; i < list.size(); ++i) {
                const auto where = "instruments[" + std::to_string(i) + "]";
                const auto& entry = list[i];
                if (!entry.is_object())
                    file.fail(where, "must be an object with listen and settings");
                if (!entry.contains("listen"))
                    file.fail(where, "has no listen: which addresses it is for");
                file.only(entry, where, entry_keys);
                entries.add(file.listen(entry["listen"], child(where, "listen")), file.settings(entry, where));
            }
        }
    }

    if (entries.empty())
        entries.add({"127.0.0.1"});

    plant.port = request.port ? *request.port : file_port.value_or(plant.port);
    plant.seed = request.seed ? *request.seed : file_seed.value_or(fallback_seed);
    plant.instruments.reserve(entries.list().size());
    for (const auto& [text, patch] : entries.list()) {
        Settings settings;
        file_defaults.apply_to(settings);
        request.flags.apply_to(settings);
        patch.apply_to(settings);
        for (const auto& [name, measurement] : {std::pair{"FPM", &settings.fpm}, std::pair{"F", &settings.f}})
            if (!measurement->fits_float())
                throw PlantError(text + ": " + name + " " + describe(*measurement) +
                                 " can go beyond what a float holds");
        plant.instruments.push_back({text, settings});
    }
    return plant;
}

std::string dump(const Plant& plant)
{
    const auto count = plant.instruments.size();
    std::string out = "# marvok-sim plant: " + std::to_string(count) + (count == 1 ? " instrument" : " instruments") +
                      ", port " + std::to_string(plant.port) + ", seed " + std::to_string(plant.seed) + "\n";
    for (const auto& [address, settings] : plant.instruments) {
        out += address;
        for (const auto& [name, measurement] : {std::pair{"fpm", &settings.fpm}, std::pair{"f", &settings.f}}) {
            out += std::string(" ") + name + "=" + format_number(measurement->value);
            out += std::string(" ") + name + "-wave=" + to_string(measurement->wave);
            out += std::string(" ") + name + "-noise=" + to_string(measurement->noise);
        }
        out += " fault=" + to_string(settings.fault) + " fault-rate=" + format_number(settings.fault.rate) + "\n";
    }
    return out;
}

}  // namespace marvok::sim
