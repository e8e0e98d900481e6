#include "summary.h"

#include <charconv>
#include <cmath>

namespace marvok::read {

Summary::Summary(std::vector<MeasurementName> names, const std::vector<Target>& targets)
    : names_(std::move(names)), targets_(targets), tallies_(targets.size())
{
    for (Tally& tally : tallies_)
        tally.values.resize(names_.size());
}

void Summary::add(std::size_t instrument, const Row& row)
{
    Tally& tally = tallies_.at(instrument);
    ++tally.rows;
    switch (row.status()) {
    case Outcome::ok:
        ++tally.ok;
        break;
    case Outcome::no_reply:
        ++tally.no_reply;
        break;
    case Outcome::no_connection:
        ++tally.no_connection;
        break;
    }
    for (std::size_t i = 0; i < row.readings.size(); ++i) {
        const Reading& reading = row.readings[i];
        if (reading.outcome != Outcome::ok || !std::isfinite(reading.value))
            continue;
        Values& v = tally.values[i];
        ++v.count;
        v.min = std::min(v.min, reading.value);
        v.max = std::max(v.max, reading.value);
        v.sum += reading.value;
    }
}

namespace {

// A mean is not a measured single: seven significant digits are what a
// single holds, and more would only show rounding noise.
std::string format_mean(double mean)
{
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, mean, std::chars_format::general, 7);
    return std::string(text, result.ptr);
}

}  // namespace

std::string Summary::table() const
{
    std::vector<std::vector<std::string>> cells;
    std::vector<std::string> header{"address", "reads", "ok", "no-connection", "no-reply"};
    for (const MeasurementName& name : names_)
        for (const char* figure : {"-min", "-mean", "-max"})
            header.push_back(std::string(name.column) + figure);
    cells.push_back(std::move(header));

    for (std::size_t i = 0; i < tallies_.size(); ++i) {
        const Tally& t = tallies_[i];
        std::vector<std::string> line{targets_[i].text, std::to_string(t.rows), std::to_string(t.ok),
                                      std::to_string(t.no_connection), std::to_string(t.no_reply)};
        for (const Values& v : t.values) {
            if (v.count == 0) {
                line.insert(line.end(), {"-", "-", "-"});
                continue;
            }
            // Singles summed as doubles cannot overflow.
            const double mean = v.sum / static_cast<double>(v.count);
            line.insert(line.end(), {format_value(v.min), format_mean(mean), format_value(v.max)});
        }
        cells.push_back(std::move(line));
    }

    std::vector<std::size_t> widths(cells.front().size(), 0);
    for (const auto& line : cells)
        for (std::size_t c = 0; c < line.size(); ++c)
            widths[c] = std::max(widths[c], line[c].size());
    std::string text;
    for (const auto& line : cells) {
        for (std::size_t c = 0; c < line.size(); ++c) {
            const std::string padding(widths[c] - line[c].size(), ' ');
            // The address to the left, the figures to the right.
            if (c == 0)
                text += line[c] + padding;
            else
                text += "  " + padding + line[c];
        }
        text += '\n';
    }
    return text;
}

}  // namespace marvok::read
