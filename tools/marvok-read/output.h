// What marvok-read writes on stdout: one instrument's readings of one round
// as a text line per measurement, a CSV row or a JSON object, and how a
// measured value is spelled.
#pragma once

#include "addresses.h"
#include "options.h"

#include <chrono>
#include <string>
#include <vector>

namespace marvok::read {

// Ranked: a row's status is its worst reading.
enum class Outcome { ok, no_reply, no_connection };

const char* outcome_text(Outcome outcome);  // "ok", "no reply", "no connection"

struct Reading {
    Outcome outcome = Outcome::ok;
    double value = 0;  // only when ok
};

struct Row {
    std::chrono::system_clock::time_point time;  // when the first read began
    const Target* target = nullptr;
    std::vector<Reading> readings;  // one per selected measurement, in column order

    Outcome status() const;
};

struct MeasurementName {
    const char* label;   // in text and messages: "FPM", "F"
    const char* column;  // in CSV and JSON: "fpm", "f"
};

class RowFormat {
public:
    RowFormat(Format format, bool plant, std::vector<MeasurementName> names);

    // The line before the first row ("" when the format has none), with its
    // newline.
    std::string header() const;
    // The lines of one row, each with its newline; "" for a text row whose
    // every measurement failed.
    std::string lines(const Row& row) const;

private:
    Format format_;
    bool plant_;
    std::vector<MeasurementName> names_;
};

// The shortest text that reads back as the same value; a float widened to
// double is spelled as the float: "350.1", not "350.100006103515625".
std::string format_value(double value);

// "2024-05-01T12:00:00.250Z".
std::string iso8601_utc(std::chrono::system_clock::time_point when);

}  // namespace marvok::read
