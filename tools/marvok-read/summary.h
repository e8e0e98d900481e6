// The end-of-run summary: per instrument, how its rows came out and the
// smallest, mean and largest value of each measurement, as a table.
#pragma once

#include "output.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace marvok::read {

class Summary {
public:
    Summary(std::vector<MeasurementName> names, const std::vector<Target>& targets);

    // `instrument` indexes the targets given to the constructor.
    void add(std::size_t instrument, const Row& row);

    // A header line naming each column, then one line per instrument; a
    // measurement without a single finite value shows "-".
    std::string table() const;

private:
    struct Values {
        std::uint64_t count = 0;  // finite values only: NaN would spoil every figure
        double min = std::numeric_limits<double>::infinity();
        double max = -std::numeric_limits<double>::infinity();
        double sum = 0;
    };
    struct Tally {
        std::uint64_t rows = 0, ok = 0, no_connection = 0, no_reply = 0;
        std::vector<Values> values;
    };

    std::vector<MeasurementName> names_;
    const std::vector<Target>& targets_;
    std::vector<Tally> tallies_;
};

}  // namespace marvok::read
