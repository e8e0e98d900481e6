// marvok-read against a simulated instrument: the values it prints, CSV
// rows, the period of repeated rounds, and instruments that do not answer.
#include <gtest/gtest.h>


#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "instrument.h"
#include "process.h"
#include "timed_tries.h"
#include "tool_support.h"

namespace {

using namespace std::chrono_literals;
using marvok::test::describe;
using marvok::test::Instrument;
using marvok::test::lines_of;
using marvok::test::parse_timestamp;
using marvok::test::row_times;
using marvok::test::ProcessResult;

ProcessResult run_tool(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    return marvok::test::run_read(args, env);
}

std::string escaped(const std::string& text) { return std::regex_replace(text, std::regex(R"(\.)"), R"(\.)"); }

marvok::sim::Options with_fault(const char* fault)
{
    marvok::sim::Options options;
    options.fault = *marvok::sim::parse_fault(fault);
    return options;
}

struct Printed {
    float value;
    const char* comment;
};

// Each value comes out in a form that reads back as the very same single,
// for FPM and for F.
TEST(ToolRead, PrintedValuesReadBackExactly)
{
    Instrument instrument;
    const Printed values[] = {
        {350.0f, "a whole number"},
        {0.1f, "no exact binary form: shortest digits, not 0.100000001"},
        {-273.15f, "negative"},
        {123456.789f, "needs all the precision a single has"},
        {1.17549435e-38f, "smallest normal single"},
        {3.40282347e+38f, "largest single"},
        {0.0f, "zero"},
    };
    for (const Printed& v : values) {
        SCOPED_TRACE(v.comment);
        instrument.sim().set_fpm(v.value);
        instrument.sim().set_f(-v.value);
        const ProcessResult r = run_tool({instrument.address().text});
        ASSERT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_TRUE(r.err.empty()) << describe(r);
        const auto lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 2u) << describe(r);
        ASSERT_EQ(lines[0].rfind("FPM ", 0), 0u) << lines[0];
        ASSERT_EQ(lines[1].rfind("F ", 0), 0u) << lines[1];
        const float fpm = std::strtof(lines[0].c_str() + 4, nullptr);
        const float f = std::strtof(lines[1].c_str() + 2, nullptr);
        EXPECT_EQ(std::memcmp(&fpm, &v.value, sizeof fpm), 0) << lines[0];
        const float minus = -v.value;
        EXPECT_EQ(std::memcmp(&f, &minus, sizeof f), 0) << lines[1];
    }
}

struct Selection {
    std::vector<std::string> measure;  // --measure and its value, if any
    const char* text;                  // stdout without --csv
    const char* csv_header;
    const char* csv_values;            // the row after time and address
};

void PrintTo(const Selection& s, std::ostream* out) { *out << (s.measure.empty() ? "default" : s.measure[1]); }

class ToolReadSelection : public ::testing::TestWithParam<Selection> {};

// Only what is selected is read and printed, in text and in CSV; the CSV
// time is UTC whatever the local time zone.
TEST_P(ToolReadSelection, TextAndCsv)
{
    const Selection& s = GetParam();
    Instrument instrument;
    instrument.sim().set_fpm(350.5f);
    instrument.sim().set_f(49.75f);
    const std::string& address = instrument.address().text;

    std::vector<std::string> args{address};
    args.insert(args.end(), s.measure.begin(), s.measure.end());
    ProcessResult r = run_tool(args);
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, s.text);
    EXPECT_TRUE(r.err.empty()) << describe(r);

    args.push_back("--csv");
    const auto before = std::chrono::system_clock::now();
    r = run_tool(args, {"TZ=XYZ-05:30"});
    const auto after = std::chrono::system_clock::now();
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_TRUE(r.err.empty()) << describe(r);
    const auto rows = lines_of(r.out);
    ASSERT_EQ(rows.size(), 2u) << describe(r);
    EXPECT_EQ(rows[0], s.csv_header);
    const std::regex row("([0-9T:.Z-]+)," + escaped(address) + "," + escaped(s.csv_values));
    std::smatch match;
    ASSERT_TRUE(std::regex_match(rows[1], match, row)) << rows[1];
    const auto stamped = parse_timestamp(match[1]);
    EXPECT_GE(stamped, std::chrono::floor<std::chrono::milliseconds>(before)) << rows[1];
    EXPECT_LE(stamped, after) << rows[1];
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolReadSelection,
    ::testing::Values(
        // both by default, FPM first
        Selection{{}, "FPM 350.5\nF 49.75\n", "time,address,fpm,f", "350.5,49.75"},
        Selection{{"--measure", "fpm"}, "FPM 350.5\n", "time,address,fpm", "350.5"},
        Selection{{"--measure", "f"}, "F 49.75\n", "time,address,f", "49.75"},
        Selection{{"--measure", "both"}, "FPM 350.5\nF 49.75\n", "time,address,fpm,f",
                  "350.5,49.75"}));

// Rounds start on a steady grid: three rounds 0.2 s apart end after about
// 0.4 s plus one read, and a period counted from the end of each read (about
// 0.1 s each) would show as rows 0.3 s apart.
TEST(ToolReadRounds, RowsFollowTheGrid)
{
    Instrument instrument;
    marvok::test::in_up_to_three_tries([&] {
        const ProcessResult r = run_tool({instrument.address().text, "--measure", "fpm", "--csv",
                                          "--count", "3", "--every", "0.2"});
        EXPECT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_GE(r.elapsed, 400ms) << describe(r);
        EXPECT_LE(r.elapsed, 750ms) << describe(r);
        const auto rows = lines_of(r.out);
        ASSERT_EQ(rows.size(), 4u) << describe(r);
        const auto starts = row_times(rows);
        for (std::size_t i = 1; i < starts.size(); ++i) {
            const auto gap = starts[i] - starts[i - 1];
            EXPECT_GE(gap, 170ms) << rows[i] << " after " << rows[i - 1];
            EXPECT_LE(gap, 250ms) << rows[i] << " after " << rows[i - 1];
        }
        EXPECT_LE(starts.back() - starts.front(), 450ms) << "the grid drifted";
    });
}

// --delay reaches the library as the pacing delay: a read takes at least
// that long, and without it only the library's own 100 ms.
TEST(ToolReadRounds, DelayIsPassedToTheLibrary)
{
    Instrument instrument;
    ProcessResult r = run_tool({instrument.address().text, "--measure", "f", "--delay", "600"});
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_GE(r.elapsed, 600ms) << describe(r);

    r = run_tool({instrument.address().text, "--measure", "f"});
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_LT(r.elapsed, 500ms) << describe(r);
}

class ToolNoReply : public ::testing::TestWithParam<const char*> {};

// Connected but never a valid answer: "no reply" on stderr for each
// measurement, no value printed, exit 4.
TEST_P(ToolNoReply, ReportedOnStderrWithExit4)
{
    Instrument instrument(with_fault(GetParam()));
    const std::string& address = instrument.address().text;
    const ProcessResult r = run_tool({address});
    EXPECT_EQ(r.exit_code, 4) << describe(r);
    EXPECT_TRUE(r.out.empty()) << describe(r);
    EXPECT_LT(r.elapsed, 5s) << describe(r);
    const auto errors = lines_of(r.err);
    ASSERT_EQ(errors.size(), 2u) << describe(r);
    const char* labels[] = {" FPM", " F"};
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_NE(errors[i].find("no reply"), std::string::npos) << errors[i];
        EXPECT_NE(errors[i].find(address), std::string::npos) << errors[i];
        EXPECT_NE(errors[i].find(labels[i]), std::string::npos) << errors[i];
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, ToolNoReply,
                         ::testing::Values("exception",  // a Modbus exception answer
                                           "close"));    // the connection closed unanswered

// One round without a reply, then one without a connection: the run reports
// both, and the exit status is the one for no connection.
TEST(ToolNoReply, NoConnectionOutranksNoReply)
{
    auto instrument = std::make_unique<Instrument>(with_fault("exception"));
    const std::string address = instrument->address().text;
    auto run = std::async(std::launch::async, [&] {
        return run_tool({address, "--measure", "fpm", "--csv", "--count", "2", "--every", "1.5"});
    });
    // The first round is over well within 0.75 s; the second starts at 1.5 s.
    std::this_thread::sleep_for(750ms);
    instrument.reset();
    const ProcessResult r = run.get();
    EXPECT_EQ(r.exit_code, 3) << describe(r);
    const auto errors = lines_of(r.err);
    ASSERT_EQ(errors.size(), 2u) << describe(r);
    EXPECT_NE(errors[0].find("no reply"), std::string::npos) << errors[0];
    EXPECT_NE(errors[1].find("no connection"), std::string::npos) << errors[1];
    EXPECT_EQ(lines_of(r.out).size(), 3u) << "a row for each round\n" << describe(r);
}

}  // namespace
