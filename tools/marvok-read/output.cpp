#include "output.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace marvok::read {

const char* outcome_text(Outcome outcome)
{
    switch (outcome) {
    case Outcome::ok:
        return "ok";
    case Outcome::no_reply:
        return "no reply";
    case Outcome::no_connection:
        return "no connection";
    }
    return "?";
}

Outcome Row::status() const
{
    Outcome worst = Outcome::ok;
    for (const Reading& r : readings)
        worst = std::max(worst, r.outcome);
    return worst;
}

RowFormat::RowFormat(Format format, bool plant, std::vector<MeasurementName> names)
    : format_(format), plant_(plant), names_(std::move(names))
{
}

std::string RowFormat::header() const
{
    if (format_ != Format::csv)
        return {};
    std::string header = "time,address";
    for (const MeasurementName& name : names_)
        header.append(1, ',').append(name.column);
    if (plant_)
        header += ",status";
    return header + "\n";
}

namespace {

// JSON has no NaN or infinity: such a measurement is written as the text
// the other formats print, rather than as null, which means "not read".
nlohmann::ordered_json json_value(const Reading& reading)
{
    if (reading.outcome != Outcome::ok)
        return nullptr;
    if (std::isnan(reading.value))
        return "nan";
    if (std::isinf(reading.value))
        return reading.value > 0 ? "inf" : "-inf";
    // The double nearest the printed digits, so that the JSON shows 350.1
    // like the other formats.
    const std::string text = format_value(reading.value);
    double value = reading.value;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}

}  // namespace

std::string RowFormat::lines(const Row& row) const
{
    const std::string& address = row.target->text;
    switch (format_) {
    case Format::text: {
        std::string text;
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (row.readings[i].outcome != Outcome::ok)
                continue;
            if (plant_)
                text.append(address).append(1, ' ');
            text.append(names_[i].label).append(1, ' ');
            text.append(format_value(row.readings[i].value)).append(1, '\n');
        }
        return text;
    }
    case Format::csv: {
        std::string text = iso8601_utc(row.time) + "," + address;
        for (const Reading& reading : row.readings) {
            text += ',';
            if (reading.outcome == Outcome::ok)
                text += format_value(reading.value);
        }
        if (plant_)
            text.append(1, ',').append(outcome_text(row.status()));
        return text + "\n";
    }
    case Format::json: {
        nlohmann::ordered_json object;
        object["time"] = iso8601_utc(row.time);
        object["address"] = address;
        for (std::size_t i = 0; i < names_.size(); ++i)
            object[names_[i].column] = json_value(row.readings[i]);
        object["status"] = outcome_text(row.status());
        return object.dump() + "\n";
    }
    }
    return {};
}

std::string format_value(double value)
{
    char text[64];
    std::to_chars_result result;
    if (std::isfinite(value) && std::fabs(value) <= std::numeric_limits<float>::max() &&
        static_cast<double>(static_cast<float>(value)) == value)
        result = std::to_chars(text, text + sizeof text, static_cast<float>(value));
    else
        result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string iso8601_utc(std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(when);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss time{ms - day};
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(date.year()),
                  unsigned(date.month()), unsigned(date.day()), int(time.hours().count()),
                  int(time.minutes().count()), int(time.seconds().count()),
                  int(time.subseconds().count()));
    return text;
}

}  // namespace marvok::read
