// marvok-read without an instrument: the command line, loading the library,
// and an address where nothing listens.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "loopback.h"
#include "process.h"
#include "tool_support.h"

namespace {

using namespace std::chrono_literals;
using marvok::test::describe;
using marvok::test::lines_of;
using marvok::test::ProcessResult;
using marvok::test::RefusingAddress;
using marvok::test::TempDir;

ProcessResult run_tool(std::vector<std::string> args, const std::string& program = MARVOK_READ_PROGRAM)
{
    args.insert(args.begin(), program);
    return marvok::test::run_process(args, 20s);
}

// "@" in a case stands for an address where nothing listens.
struct UsageCase {
    std::vector<std::string> args;
    std::string names;  // a word the message must contain
};

std::string joined(const std::vector<std::string>& args)
{
    std::string text;
    for (const std::string& a : args)
        text += (text.empty() ? "'" : " '") + a + "'";
    return text.empty() ? "(none)" : text;
}

void PrintTo(const UsageCase& c, std::ostream* out) { *out << joined(c.args); }

class ToolUsage : public ::testing::TestWithParam<UsageCase> {};

// Every usage error is refused before the library is loaded or the network
// touched: exit 2, one line on stderr naming the problem, nothing on stdout.
TEST_P(ToolUsage, RefusedWithOneLineAndExit2)
{
    const UsageCase& c = GetParam();
    // Should a case be accepted after all, it must still reach no instrument.
    RefusingAddress nowhere;
    const auto with_address = [&](std::string text) {
        const std::size_t at = text.find("@");
        return at == std::string::npos ? text : text.replace(at, 1, nowhere.address().text);
    };
    std::vector<std::string> args;
    for (const std::string& a : c.args)
        args.push_back(with_address(a));
    const ProcessResult r = run_tool(args);
    EXPECT_EQ(r.exit_code, 2) << describe(r);
    EXPECT_TRUE(r.out.empty()) << describe(r);
    const auto lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), 1u) << describe(r);
    EXPECT_EQ(lines[0].rfind("marvok-read: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(with_address(c.names)), std::string::npos) << lines[0];
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolUsage,
    ::testing::Values(
        // no address at all
        UsageCase{{}, "ADDRESS"},
        // empty address
        UsageCase{{""}, "''"},
        // three parts
        UsageCase{{"127.0.0"}, "127.0.0"},
        // five parts
        UsageCase{{"@.5"}, "@.5"},
        // a part above 255
        UsageCase{{"127.0.0.256"}, "256"},
        // four digits
        UsageCase{{"1000.0.0.1"}, "1000"},
        // letters
        UsageCase{{"127.0.0.a"}, "127.0.0.a"},
        // names are not looked up
        UsageCase{{"localhost"}, "localhost"},
        // an empty part
        UsageCase{{"127..0.1"}, "127..0.1"},
        // trailing dot
        UsageCase{{"@."}, "@."},
        // leading dot
        UsageCase{{".@"}, ".@"},
        // leading blank
        UsageCase{{" @"}, " @"},
        // trailing junk
        UsageCase{{"@x"}, "@x"},
        // a sign
        UsageCase{{"127.0.0.+1"}, "+1"},
        // hexadecimal
        UsageCase{{"0x7f.0.0.1"}, "0x7f"},
        // leading zero, octal elsewhere
        UsageCase{{"127.0.0.01"}, "01"},
        // a bad second address
        UsageCase{{"@", "127.0.0.256"}, "127.0.0.256"},
        // a range without its end
        UsageCase{{"@-"}, "@-"},
        // a range without its start
        UsageCase{{"@", "-@"}, "-@"},
        // three ends
        UsageCase{{"@-@-@"}, "@-@-@"},
        // a bad part in a range
        UsageCase{{"@-127.0.0.300"}, "127.0.0.300"},
        // a range that runs backwards
        UsageCase{{"127.0.0.9-127.0.0.1"}, "ends before it begins"},
        // one address past the cap: 65536 in a range, then one more
        UsageCase{{"127.0.0.0-127.0.255.255", "@"}, "too many addresses"},
        // a range past the cap by itself is refused before it is expanded
        UsageCase{{"@", "127.0.0.0-127.255.255.255"}, "65536"},
        // two output formats
        UsageCase{{"@", "--csv", "--json"}, "--json"},
        // the summary both on and off
        UsageCase{{"@", "--summary", "--no-summary"}, "--no-summary"},
        // an address file that is not there
        UsageCase{{"--addresses", "/nonexistent/plant.txt"}, "/nonexistent/plant.txt"},
        // an empty file name
        UsageCase{{"@", "--addresses", ""}, "--addresses"},
        // the file name missing
        UsageCase{{"@", "--addresses"}, "--addresses"},
        // standard input cannot be read twice
        UsageCase{{"--addresses", "-", "--addresses", "-"}, "once"},
        // a file without a single address
        UsageCase{{"--addresses", "/dev/null"}, "no address"},
        // a directory is no address file
        UsageCase{{"--addresses", "/"}, "cannot read /"},
        // endless input without a line break is not read into memory
        UsageCase{{"--addresses", "/dev/zero"}, "/dev/zero:1: line longer than"},
        // just above a short
        UsageCase{{"@", "--delay", "32768"}, "32768"},
        // negative delay
        UsageCase{{"@", "--delay", "-1"}, "-1"},
        // overflows int
        UsageCase{{"@", "--delay", "99999999999"}, "99999999999"},
        // not whole
        UsageCase{{"@", "--delay", "1.5"}, "1.5"},
        // no base prefixes
        UsageCase{{"@", "--delay", "0x10"}, "0x10"},
        // value missing
        UsageCase{{"@", "--delay"}, "--delay"},
        // zero rounds
        UsageCase{{"@", "--count", "0"}, "--count"},
        // negative count
        UsageCase{{"@", "--count", "-3"}, "-3"},
        // trailing junk
        UsageCase{{"@", "--count", "2x"}, "2x"},
        // beyond 64 bits
        UsageCase{{"@", "--count", "99999999999999999999"}, "9999"},
        // no period
        UsageCase{{"@", "--every", "0"}, "--every"},
        // negative period
        UsageCase{{"@", "--every", "-1"}, "-1"},
        // not a number
        UsageCase{{"@", "--every", "nan"}, "nan"},
        // endless
        UsageCase{{"@", "--every", "inf"}, "inf"},
        // beyond the clock's range
        UsageCase{{"@", "--every", "1e300"}, "1e300"},
        // units are not parsed
        UsageCase{{"@", "--every", "0.5s"}, "0.5s"},
        // unknown measurement
        UsageCase{{"@", "--measure", "x"}, "--measure"},
        // empty measurement
        UsageCase{{"@", "--measure", ""}, "--measure"},
        // unknown option
        UsageCase{{"@", "--bogus"}, "--bogus"},
        // empty library name
        UsageCase{{"@", "--library", ""}, "--library"},
        // the command line is checked first: a bad library goes unreported
        UsageCase{{"@.1", "--library", "/nonexistent/libx.so"}, "@.1"}));

struct FileCase {
    std::string content;  // "@" stands for an address where nothing listens
    std::string names;    // after "FILE:", what the message must contain
};

void PrintTo(const FileCase& c, std::ostream* out) { *out << ::testing::PrintToString(c.content); }

class ToolAddressFile : public ::testing::TestWithParam<FileCase> {};

// A bad address file is a usage error naming the file and the line, and
// nothing is read from any instrument it lists.
TEST_P(ToolAddressFile, BadLineNamesFileAndLine)
{
    RefusingAddress nowhere;
    TempDir dir;
    const auto with_address = [&](const std::string& text) {
        return std::regex_replace(text, std::regex("@"), nowhere.address().text);
    };
    const std::string file = dir.file("plant.txt", with_address(GetParam().content));
    const ProcessResult r = run_tool({"--addresses", file, "--library", MARVOK_LIBRARY});
    EXPECT_EQ(r.exit_code, 2) << describe(r);
    EXPECT_TRUE(r.out.empty()) << describe(r);
    const auto lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), 1u) << describe(r);
    EXPECT_NE(lines[0].find(file + ":" + with_address(GetParam().names)), std::string::npos)
        << lines[0];
    EXPECT_EQ(r.err.find("no connection"), std::string::npos) << "read although refused";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolAddressFile,
    ::testing::Values(
        // the second line is bad: counted past the first
        FileCase{"@\n127.0.0.300\n", "2: '127.0.0.300'"},
        // comments and blank lines are counted as lines too
        FileCase{"# boilers\n\n@  # first\n@x\n", "4: '@x'"},
        // one address a line, not two
        FileCase{"@ @\n", "1: '@ @'"},
        // a range that runs backwards
        FileCase{"@\n127.0.0.9-127.0.0.1", "2: the range '127.0.0.9-127.0.0.1' ends before"},
        // a NUL byte does not end the line early
        FileCase{std::string("@\0\n", 3), "1: '"},
        // the last line needs no line break to be read
        FileCase{"@\nbad", "2: 'bad'"},
        // a line longer than any address list needs
        FileCase{"@\n#" + std::string(5000, 'x') + "\n", "2: line longer than 4096"},
        // the cap counts across files and lines
        FileCase{"127.0.0.0-127.0.255.255\n@\n", "2: too many addresses"},
        // Windows line ends are fine, so the error is in the next line
        FileCase{"@\r\n@\r\n127.1\r\n", "3: '127.1'"}));

// The cap is exact: 65536 addresses are accepted (the missing library then
// ends the run before any is read).
TEST(ToolAddressCap, SixtyFiveThousandFiveHundredThirtySixAreAccepted)
{
    const ProcessResult r =
        run_tool({"127.0.0.0-127.0.255.255", "--library", "/nonexistent/libmarvok.so"});
    EXPECT_EQ(r.exit_code, 1) << describe(r);
    EXPECT_NE(r.err.find("cannot load"), std::string::npos) << describe(r);
}

// --help and --version print to stdout and succeed; neither needs the library.
TEST(ToolHelp, HelpAndVersionSucceedWithoutTheLibrary)
{
    for (const char* option : {"--help", "--version"}) {
        const ProcessResult r = run_tool({option, "--library", "/nonexistent/libx.so"});
        EXPECT_EQ(r.exit_code, 0) << option << "\n" << describe(r);
        EXPECT_FALSE(r.out.empty()) << option;
        EXPECT_TRUE(r.err.empty()) << option << "\n" << describe(r);
    }
}

TEST(ToolLibrary, RevisionIs103)
{
    const ProcessResult r = run_tool({"--revision", "--library", MARVOK_LIBRARY});
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, "103\n");
    EXPECT_TRUE(r.err.empty()) << describe(r);
}

// Without --library the library beside the program is found, wherever the
// program is and whatever the working directory: copy both somewhere else.
TEST(ToolLibrary, DefaultLibraryIsTheOneBesideTheProgram)
{
    namespace fs = std::filesystem;
    TempDir dir;
    const fs::path program = dir.path() / "marvok-read";
    fs::copy_file(MARVOK_READ_PROGRAM, program);

    // Alone, it must say which file it wanted and fail with exit 1.
    ProcessResult r = run_tool({"--revision"}, program.string());
    EXPECT_EQ(r.exit_code, 1) << describe(r);
    EXPECT_NE(r.err.find(fs::path(MARVOK_LIBRARY).filename().string()), std::string::npos)
        << describe(r);
    EXPECT_EQ(lines_of(r.err).size(), 1u) << describe(r);

    fs::copy_file(MARVOK_LIBRARY, dir.path() / fs::path(MARVOK_LIBRARY).filename());
    r = run_tool({"--revision"}, program.string());
    EXPECT_EQ(r.exit_code, 0) << describe(r);
    EXPECT_EQ(r.out, "103\n");
}

struct LoadFailure {
    std::string library;
    const char* mentions;  // what the message must name
};

void PrintTo(const LoadFailure& c, std::ostream* out) { *out << c.library; }

class ToolLibraryFailure : public ::testing::TestWithParam<LoadFailure> {};

// A library that cannot be used stops the tool before any read: exit 1 and
// one line naming the cause.
TEST_P(ToolLibraryFailure, Exit1WithAClearMessage)
{
    RefusingAddress nowhere;
    const ProcessResult r =
        run_tool({nowhere.address().text, "--library", GetParam().library});
    EXPECT_EQ(r.exit_code, 1) << describe(r);
    EXPECT_TRUE(r.out.empty()) << describe(r);
    const auto lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), 1u) << describe(r);
    EXPECT_NE(lines[0].find(GetParam().mentions), std::string::npos) << lines[0];
    EXPECT_EQ(r.err.find("no connection"), std::string::npos) << "read although unusable";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolLibraryFailure,
    ::testing::Values(
        // A path to no file.
        LoadFailure{"/nonexistent/libmarvok.so", "/nonexistent/libmarvok.so"},
        // A file that is not a loadable library: the program itself.
        LoadFailure{MARVOK_READ_PROGRAM, "cannot load"},
        // A real library without our functions: the missing one is named.
        LoadFailure{"libm.so.6", "MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION"}));

struct Selection {
    std::vector<std::string> measure;   // the --measure arguments
    std::vector<std::string> reported;  // the measurements named on stderr
    const char* csv_header;
};

void PrintTo(const Selection& c, std::ostream* out) { *out << joined(c.measure); }

class ToolNoConnection : public ::testing::TestWithParam<Selection> {};

// Nothing listens: each selected measurement is reported as "no connection"
// naming the address, no value is printed, exit 3, and all of it promptly.
TEST_P(ToolNoConnection, ReportedOnStderrWithExit3)
{
    const Selection& s = GetParam();
    RefusingAddress nowhere;
    const std::string& address = nowhere.address().text;
    for (const bool csv : {false, true}) {
        std::vector<std::string> args{address, "--library", MARVOK_LIBRARY};
        args.insert(args.end(), s.measure.begin(), s.measure.end());
        if (csv)
            args.push_back("--csv");
        const ProcessResult r = run_tool(args);
        SCOPED_TRACE(csv ? "csv" : "text");
        EXPECT_EQ(r.exit_code, 3) << describe(r);
        EXPECT_LT(r.elapsed, 3s) << describe(r);

        const auto errors = lines_of(r.err);
        ASSERT_EQ(errors.size(), s.reported.size()) << describe(r);
        for (std::size_t i = 0; i < errors.size(); ++i) {
            EXPECT_NE(errors[i].find("no connection"), std::string::npos) << errors[i];
            EXPECT_NE(errors[i].find(address), std::string::npos) << errors[i];
            EXPECT_NE(errors[i].find(" " + s.reported[i]), std::string::npos) << errors[i];
        }

        if (!csv) {
            EXPECT_TRUE(r.out.empty()) << describe(r);
            continue;
        }
        // The row is there, with the failed cells empty.
        const auto rows = lines_of(r.out);
        ASSERT_EQ(rows.size(), 2u) << describe(r);
        EXPECT_EQ(rows[0], s.csv_header);
        const std::string empties(s.reported.size(), ',');
        const std::regex row(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,)" +
                             std::regex_replace(address, std::regex(R"(\.)"), R"(\.)") + empties);
        EXPECT_TRUE(std::regex_match(rows[1], row)) << rows[1];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolNoConnection,
    ::testing::Values(
        Selection{{}, {"FPM", "F"}, "time,address,fpm,f"},  // both by default
        Selection{{"--measure", "fpm"}, {"FPM"}, "time,address,fpm"},
        Selection{{"--measure", "F"}, {"F"}, "time,address,f"},  // case does not matter
        Selection{{"--measure", "both"}, {"FPM", "F"}, "time,address,fpm,f"}));

// Every round is tried and logged even when the instrument is away.
TEST(ToolNoConnectionRounds, EveryRoundGetsARow)
{
    RefusingAddress nowhere;
    const ProcessResult r = run_tool({nowhere.address().text, "--library", MARVOK_LIBRARY,
                                      "--measure", "fpm", "--csv", "--count", "3", "--every",
                                      "0.05"});
    EXPECT_EQ(r.exit_code, 3) << describe(r);
    EXPECT_EQ(lines_of(r.out).size(), 4u) << describe(r);
    EXPECT_EQ(lines_of(r.err).size(), 3u) << describe(r);
}

// Output that cannot be written is a failure of its own, not a success,
// and the tool stops instead of reading on into the void.
TEST(ToolOutput, UnwritableOutputIsExit5)
{
    RefusingAddress nowhere;
    const std::vector<std::vector<std::string>> runs = {
        {"--revision"},
        {nowhere.address().text, "--csv", "--count", "1000", "--every", "0.001"},
        // a plant run: a range of one address, JSON rows
        {nowhere.address().text + "-" + nowhere.address().text, "--json", "--count", "1000", "--every",
         "0.001"},
    };
    for (const auto& args : runs) {
        std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full",
                                      MARVOK_READ_PROGRAM, "--library", MARVOK_LIBRARY};
        argv.insert(argv.end(), args.begin(), args.end());
        const ProcessResult r = marvok::test::run_process(argv, 20s);
        EXPECT_EQ(r.exit_code, 5) << describe(r);
        EXPECT_NE(r.err.find("cannot write"), std::string::npos) << describe(r);
        EXPECT_LT(r.elapsed, 3s) << describe(r);
    }
}

}  // namespace
