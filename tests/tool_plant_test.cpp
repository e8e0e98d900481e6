// marvok-read polling a plant: instruments on consecutive loopback
// addresses, read by address, range and address file; CSV, JSON and text
// rows; the summary; rounds on the grid; the progress line; Ctrl-C.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "loopback.h"
#include "sim/simulator.h"
#include "steps.h"
#include "timed_tries.h"
#include "tool_support.h"

namespace {

using namespace std::chrono_literals;
using marvok::test::Child;
using marvok::test::describe;
using marvok::test::lines_of;
using marvok::test::parse_timestamp;
using marvok::test::row_times;
using marvok::test::ProcessResult;
using marvok::test::run_read;
using marvok::test::TempDir;
using Kind = marvok::sim::Step::Kind;

// Consecutive loopback addresses of our own, port 502, each serving an
// instrument or refusing every connection (bound, never listening). The
// first address ends in `first_last_part`, so a block may cross from one
// part to the next: .254, .255, then .0 of the next.
class Block {
public:
    using Plan = std::vector<std::optional<marvok::sim::Options>>;  // nullopt: refusing

    explicit Block(const Plan& plan, int first_last_part = 254)
    {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const marvok::test::Loopback base = marvok::test::random_loopback();
            const std::uint32_t first = 127u << 24 | std::uint32_t(base.parts[1]) << 16 |
                                        std::uint32_t(base.parts[2]) << 8 |
                                        std::uint32_t(first_last_part);
            if (take(plan, first))
                return;
            release();
        }
        throw std::runtime_error("no free block of loopback addresses after 100 tries");
    }
    ~Block() { release(); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    const std::string& address(std::size_t i) const { return addresses_.at(i); }
    marvok::sim::Simulator& sim(std::size_t i) { return *sims_.at(i); }

private:
    // Takes every address of the plan from `first` on; false on a clash.
    bool take(const Plan& plan, std::uint32_t first)
    {
        for (std::size_t i = 0; i < plan.size(); ++i) {
            in_addr raw{htonl(first + static_cast<std::uint32_t>(i))};
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &raw, text, sizeof text);
            addresses_.emplace_back(text);
            sims_.emplace_back();
            if (!plan[i]) {
                const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_port = htons(502);
                address.sin_addr = raw;
                if (fd < 0)
                    throw std::system_error(errno, std::generic_category(), "socket");
                refusers_.push_back(fd);
                if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                    if (errno == EADDRINUSE)
                        return false;
                    throw std::system_error(errno, std::generic_category(), "bind " + addresses_.back());
                }
                continue;
            }
            marvok::sim::Options options = *plan[i];
            options.listen = {text};
            sims_.back() = std::make_unique<marvok::sim::Simulator>(options);
            try {
                sims_.back()->open();
            } catch (const std::system_error& e) {
                if (e.code() == std::errc::address_in_use)
                    return false;
                throw;
            }
        }
        for (auto& sim : sims_)
            if (sim)
                sim->start();
        return true;
    }

    void release()
    {
        sims_.clear();
        for (const int fd : refusers_)
            close(fd);
        refusers_.clear();
        addresses_.clear();
    }

    std::vector<std::string> addresses_;
    std::vector<std::unique_ptr<marvok::sim::Simulator>> sims_;
    std::vector<int> refusers_;
};

const marvok::sim::Options instrument{};
const std::nullopt_t refusing = std::nullopt;

marvok::sim::Options with_fault(const char* fault)
{
    marvok::sim::Options options;
    options.fault = *marvok::sim::parse_fault(fault);
    return options;
}

// An input-register reply carrying `value`, low-order word first.
marvok::sim::Step value_reply(float value)
{
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    marvok::sim::Step step;
    step.kind = Kind::raw;
    step.bytes = {0, 0, 0, 0, 0, 7, 1, 4, 4,
                  std::uint8_t(bits >> 8), std::uint8_t(bits), std::uint8_t(bits >> 24),
                  std::uint8_t(bits >> 16)};
    return step;
}

std::vector<std::string> fields(const std::string& line, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(line);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    if (!line.empty() && line.back() == separator)
        parts.emplace_back();
    return parts;
}

// The summary table on stderr: for each address, its cells by column name.
std::map<std::string, std::map<std::string, std::string>> summary_of(const std::string& err)
{
    std::map<std::string, std::map<std::string, std::string>> table;
    const auto lines = lines_of(err);
    std::size_t at = 0;
    while (at < lines.size() && lines[at].rfind("summary: ", 0) != 0)
        ++at;
    if (at + 1 >= lines.size())
        return table;
    std::vector<std::string> columns;
    std::istringstream header(lines[at + 1]);
    for (std::string word; header >> word;)
        columns.push_back(word);
    for (std::size_t i = at + 2; i < lines.size(); ++i) {
        std::istringstream row(lines[i]);
        std::vector<std::string> cells;
        for (std::string word; row >> word;)
            cells.push_back(word);
        if (cells.size() != columns.size())
            break;
        for (std::size_t c = 1; c < cells.size(); ++c)
            table[cells[0]][columns[c]] = cells[c];
    }
    return table;
}

// Instrument 0 answers from a script, round by round over four rounds of
// both measurements; 1 refuses; 2 answers every request with an exception.
class ToolPlant : public ::testing::Test {
protected:
    ToolPlant() : block_({instrument, refusing, with_fault("exception")})
    {
        block_.sim(0).script({
            value_reply(1.5f), value_reply(10.0f),                             // round 1
            value_reply(2.5f), marvok::test::step(Kind::exception),            // round 2: F gets
            marvok::test::step(Kind::exception),                               //   no reply, retry too
            value_reply(std::numeric_limits<float>::quiet_NaN()), value_reply(20.0f),  // round 3
            value_reply(5.0f), value_reply(30.0f),                             // round 4
        });
    }

    ProcessResult run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {address(0), address(1), address(2), "--count", "4"});
        return run_read(args);
    }

    const std::string& address(std::size_t i) const { return block_.address(i); }

    Block block_;
};

// One row per instrument per round, in the order given, with the status
// column of a plant run; a failed value leaves its cell empty, a NaN is
// spelled out; exit 3 as something found no connection.
TEST_F(ToolPlant, CsvRows)
{
    const ProcessResult r = run({"--csv"});
    EXPECT_EQ(r.exit_code, 3) << describe(r);
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 13u) << describe(r);
    EXPECT_EQ(lines[0], "time,address,fpm,f,status");
    const char* scripted[] = {"1.5,10,ok", "2.5,,no reply", "nan,20,ok", "5,30,ok"};
    std::chrono::system_clock::time_point previous{};
    for (std::size_t round = 0; round < 4; ++round) {
        const std::string expected[] = {address(0) + "," + scripted[round],
                                        address(1) + ",,,no connection",
                                        address(2) + ",,,no reply"};
        for (std::size_t i = 0; i < 3; ++i) {
            const std::string& row = lines[1 + round * 3 + i];
            const std::size_t comma = row.find(',');
            ASSERT_NE(comma, std::string::npos) << row;
            EXPECT_EQ(row.substr(comma + 1), expected[i]) << "round " << round + 1;
            const auto time = parse_timestamp(row.substr(0, comma));
            EXPECT_GE(time, previous) << row;
            previous = time;
        }
    }
}

// JSON lines parse back, keys in a fixed order; a failed value is null, a
// NaN the string "nan"; the row's status is its worst measurement.
TEST_F(ToolPlant, JsonLines)
{
    const ProcessResult r = run({"--json"});
    EXPECT_EQ(r.exit_code, 3) << describe(r);
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 12u) << describe(r);
    const nlohmann::ordered_json scripted[] = {
        {{"fpm", 1.5}, {"f", 10.0}, {"status", "ok"}},
        {{"fpm", 2.5}, {"f", nullptr}, {"status", "no reply"}},
        {{"fpm", "nan"}, {"f", 20.0}, {"status", "ok"}},
        {{"fpm", 5.0}, {"f", 30.0}, {"status", "ok"}},
    };
    for (std::size_t n = 0; n < lines.size(); ++n) {
        SCOPED_TRACE(lines[n]);
        const auto row = nlohmann::ordered_json::parse(lines[n]);
        std::vector<std::string> keys;
        for (const auto& item : row.items())
            keys.push_back(item.key());
        EXPECT_EQ(keys, (std::vector<std::string>{"time", "address", "fpm", "f", "status"}));
        EXPECT_NO_THROW(parse_timestamp(row["time"].get<std::string>()));
        const std::size_t i = n % 3;
        EXPECT_EQ(row["address"], address(i));
        const nlohmann::ordered_json values{{"fpm", row["fpm"]}, {"f", row["f"]}, {"status", row["status"]}};
        if (i == 0)
            EXPECT_EQ(values, scripted[n / 3]);
        else
            EXPECT_EQ(values, (nlohmann::ordered_json{{"fpm", nullptr}, {"f", nullptr},
                                                      {"status", i == 1 ? "no connection" : "no reply"}}));
    }
}

// Text names the instrument on each line and prints only values read;
// each failure is a line on stderr.
TEST_F(ToolPlant, TextLines)
{
    const ProcessResult r = run({});
    EXPECT_EQ(r.exit_code, 3) << describe(r);
    const std::string a = address(0);
    EXPECT_EQ(r.out, a + " FPM 1.5\n" + a + " F 10\n" + a + " FPM 2.5\n" + a + " FPM nan\n" + a +
                         " F 20\n" + a + " FPM 5\n" + a + " F 30\n");
    const std::string err = r.err;
    for (const std::string& message :
         {"no reply from " + a + " reading F", "no connection to " + address(1) + " reading FPM",
          "no reply from " + address(2) + " reading F"})
        EXPECT_NE(err.find(message), std::string::npos) << message << "\n" << describe(r);
}

// The summary counts rows by status and leaves failed and NaN values out
// of min, mean and max; it goes to stderr, never among the rows.
TEST_F(ToolPlant, SummaryFigures)
{
    const ProcessResult r = run({"--csv", "--quiet"});
    EXPECT_EQ(r.exit_code, 3) << describe(r);
    for (const std::string& line : lines_of(r.out))
        EXPECT_TRUE(line.rfind("time,", 0) == 0 || std::isdigit(static_cast<unsigned char>(line[0])))
            << line;
    EXPECT_NE(r.err.find("summary: 4 rounds\n"), std::string::npos) << describe(r);
    auto table = summary_of(r.err);
    ASSERT_EQ(table.size(), 3u) << describe(r);
    using Cells = std::map<std::string, std::string>;
    EXPECT_EQ(table[address(0)], (Cells{{"reads", "4"}, {"ok", "3"}, {"no-connection", "0"},
                                        {"no-reply", "1"}, {"fpm-min", "1.5"}, {"fpm-mean", "3"},
                                        {"fpm-max", "5"}, {"f-min", "10"}, {"f-mean", "20"},
                                        {"f-max", "30"}}));
    const Cells none{{"fpm-min", "-"}, {"fpm-mean", "-"}, {"fpm-max", "-"},
                     {"f-min", "-"}, {"f-mean", "-"}, {"f-max", "-"}};
    Cells refused = none, unanswered = none;
    refused.insert({{"reads", "4"}, {"ok", "0"}, {"no-connection", "4"}, {"no-reply", "0"}});
    unanswered.insert({{"reads", "4"}, {"ok", "0"}, {"no-connection", "0"}, {"no-reply", "4"}});
    EXPECT_EQ(table[address(1)], refused);
    EXPECT_EQ(table[address(2)], unanswered);
}

struct SummaryCase {
    std::vector<std::string> args;  // "{0}", "{1}": the block's addresses
    bool printed;
};

void PrintTo(const SummaryCase& c, std::ostream* out) { *out << ::testing::PrintToString(c.args); }

std::vector<std::string> with_block(const std::vector<std::string>& args, const Block& block)
{
    std::vector<std::string> result;
    for (std::string a : args) {
        for (std::size_t i = 0; i < 4; ++i)
            a = std::regex_replace(a, std::regex("\\{" + std::to_string(i) + "\\}"), block.address(i));
        result.push_back(a);
    }
    return result;
}

class ToolSummaryWhen : public ::testing::TestWithParam<SummaryCase> {};

TEST_P(ToolSummaryWhen, PrintedForAPlantOrWhenAsked)
{
    Block block({refusing, refusing, refusing, refusing});
    const ProcessResult r = run_read(with_block(GetParam().args, block));
    EXPECT_EQ(r.exit_code, 3) << describe(r);
    EXPECT_EQ(r.err.find("summary: ") != std::string::npos, GetParam().printed) << describe(r);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolSummaryWhen,
    ::testing::Values(
        // one address, several rounds: stderr stays as it always was
        SummaryCase{{"{0}", "--count", "2"}, false},
        // asked for
        SummaryCase{{"{0}", "--summary"}, true},
        // several addresses
        SummaryCase{{"{0}", "{1}"}, true},
        // a range, even of one address
        SummaryCase{{"{0}-{0}"}, true},
        // turned off
        SummaryCase{{"{0}", "{1}", "--no-summary"}, false}));

struct SelectionCase {
    std::vector<std::string> args;  // "{0}".."{3}": the block's addresses; "{file}": the file
    std::string file;               // the address file's content, the same placeholders
    std::vector<std::size_t> read;  // the block's addresses in the order read
};

void PrintTo(const SelectionCase& c, std::ostream* out) { *out << ::testing::PrintToString(c.args); }

class ToolAddressSelection : public ::testing::TestWithParam<SelectionCase> {};

// Four refusing addresses, .254 to .1 of the next part: the rows name the
// addresses read, in order, each once, in the plant's CSV shape.
TEST_P(ToolAddressSelection, RowsFollowTheAddresses)
{
    const SelectionCase& c = GetParam();
    Block block({refusing, refusing, refusing, refusing});
    TempDir dir;
    const std::string file = dir.file("plant.txt", with_block({c.file}, block)[0]);
    std::vector<std::string> args;
    for (const std::string& a : with_block(c.args, block))
        args.push_back(a == "{file}" ? file : a);
    args.insert(args.end(), {"--csv", "--measure", "fpm", "--no-summary", "--library", MARVOK_LIBRARY});
    // Standard input from the file, through the shell: the harness gives a child none.
    args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" <\"$FILE\"", MARVOK_READ_PROGRAM});
    const ProcessResult r = marvok::test::run_process(args, 30s, {"FILE=" + file});
    EXPECT_EQ(r.exit_code, 3) << describe(r);
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), c.read.size() + 1) << describe(r);
    EXPECT_EQ(lines[0], "time,address,fpm,status");
    for (std::size_t i = 0; i < c.read.size(); ++i) {
        const auto cells = fields(lines[i + 1], ',');
        ASSERT_EQ(cells.size(), 4u) << lines[i + 1];
        EXPECT_EQ(cells[1], block.address(c.read[i])) << "row " << i + 1;
        EXPECT_EQ(cells[3], "no connection") << lines[i + 1];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolAddressSelection,
    ::testing::Values(
        // a range across a part boundary: .254, .255, .0, .1
        SelectionCase{{"{0}-{3}"}, "", {0, 1, 2, 3}},
        // addresses in the order given, not sorted
        SelectionCase{{"{2}", "{0}"}, "", {2, 0}},
        // each address once, where first listed
        SelectionCase{{"{1}", "{0}-{2}", "{1}"}, "", {1, 0, 2}},
        // a range of one address
        SelectionCase{{"{3}-{3}"}, "", {3}},
        // a file with comments, blanks, Windows line ends and a range, after the arguments
        SelectionCase{{"{0}", "--addresses", "{file}"},
                      "# boiler house\n\n  {1}\t# east\r\n{2}-{3}\n",
                      {0, 1, 2, 3}},
        // the last line without a line break
        SelectionCase{{"--addresses", "{file}"}, "{3}\n{2}", {3, 2}},
        // standard input, and files read in turn
        SelectionCase{{"--addresses", "-", "--addresses", "{file}", "{3}"}, "{1}\n{2}", {3, 1, 2}}));

// Rounds of three instruments start on the grid: 0.5 s apart, though each
// round takes 0.3 s; within a round the reads follow one another.
TEST(ToolPlantRounds, RoundsFollowTheGrid)
{
    Block block({instrument, instrument, instrument});
    marvok::test::in_up_to_three_tries([&] {
        const ProcessResult r = run_read({block.address(0) + "-" + block.address(2), "--measure", "fpm",
                                          "--csv", "--count", "3", "--every", "0.5"});
        EXPECT_EQ(r.exit_code, 0) << describe(r);
        EXPECT_GE(r.elapsed, 1300ms) << describe(r);
        EXPECT_LE(r.elapsed, 1800ms) << describe(r);
        const auto lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 10u) << describe(r);
        const auto times = row_times(lines);
        for (std::size_t round = 1; round < 3; ++round) {
            const auto gap = times[round * 3] - times[(round - 1) * 3];
            EXPECT_GE(gap, 450ms) << lines[round * 3 + 1];
            EXPECT_LE(gap, 600ms) << lines[round * 3 + 1];
        }
        for (std::size_t i = 1; i < 3; ++i)
            EXPECT_GE(times[i] - times[i - 1], 90ms) << "reads overlapped: " << lines[i + 1];
        EXPECT_LE(times[6] - times[0], 1100ms) << "the grid drifted";
    });
}

// A round that overruns its period is followed by the next at once, and
// the slots it covered are skipped, not made up: with a first read of about
// 1.1 s and a period of 0.5 s, rounds start at 0, about 1.2, 1.5 and 2.0 s
// (made up, they would start at 1.2, 1.4 and 1.6 s).
TEST(ToolPlantRounds, OverrunSkipsMissedSlots)
{
    Block block({instrument, instrument});
    marvok::test::in_up_to_three_tries([&] {
        block.sim(0).script({marvok::test::step(Kind::late, 1000)});
        const ProcessResult r = run_read({block.address(0), block.address(1), "--measure", "fpm",
                                          "--csv", "--count", "4", "--every", "0.5"});
        EXPECT_EQ(r.exit_code, 0) << describe(r);
        const auto lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 9u) << describe(r);
        const auto times = row_times(lines);
        std::vector<std::chrono::milliseconds> starts;  // of each round, two rows apiece
        for (std::size_t round = 0; round < 4; ++round)
            starts.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(times[round * 2] - times[0]));
        EXPECT_GE(starts[1], 1100ms) << r.out;
        EXPECT_LE(starts[1], 1350ms) << r.out;
        EXPECT_GE(starts[2], 1480ms) << r.out;
        EXPECT_LE(starts[2], 1600ms) << r.out;
        EXPECT_GE(starts[3], 1980ms) << r.out;
        EXPECT_LE(starts[3], 2100ms) << r.out;
    });
}

struct ProgressCase {
    bool terminal;                   // run on a pseudo-terminal
    std::vector<std::string> extra;  // more arguments
    bool shown;
};

void PrintTo(const ProgressCase& c, std::ostream* out)
{
    *out << (c.terminal ? "terminal " : "pipe ") << ::testing::PrintToString(c.extra);
}

class ToolProgress : public ::testing::TestWithParam<ProgressCase> {};

// The progress line is for a terminal only, rewritten in place with "\r";
// in a pipe or with --quiet nothing of it appears.
TEST_P(ToolProgress, OnlyOnATerminal)
{
    const ProgressCase& c = GetParam();
    Block block({refusing, refusing});
    std::vector<std::string> args{MARVOK_READ_PROGRAM, block.address(0), block.address(1), "--count",
                                  "2",  "--every", "0.2", "--csv", "--library", MARVOK_LIBRARY};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    if (c.terminal) {
        // script(1) runs the command on a pseudo-terminal; stdout and stderr
        // both arrive on its stdout.
        std::string command;
        for (const std::string& a : args)
            command += (command.empty() ? "'" : " '") + a + "'";
        args = {"script", "--quiet", "--return", "--command", command, "/dev/null"};
    }
    const ProcessResult r = marvok::test::run_process(args, 30s);
    EXPECT_EQ(r.exit_code, 3) << describe(r);
    const std::string shown = r.out + r.err;
    EXPECT_EQ(shown.find("\rround 2/2: 2/2 instruments, 2 no connection") != std::string::npos, c.shown)
        << describe(r);
    if (!c.shown) {
        EXPECT_EQ(shown.find("round "), std::string::npos) << describe(r);
    }
    // Rows stay whole: the line is cleared before each one, so what is left
    // visible after the last carriage return is the row alone.
    const std::regex row(R"(\d{4}-\d\d-\d\dT[\d:.]+Z,[\d.]+,,,no connection)");
    for (std::string line : lines_of(shown)) {
        if (line.find(",no connection") == std::string::npos)
            continue;
        if (line.back() == '\r')
            line.pop_back();
        const std::string visible = line.substr(line.rfind('\r') + 1);
        EXPECT_TRUE(std::regex_match(visible, row)) << ::testing::PrintToString(line);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ToolProgress,
                         ::testing::Values(ProgressCase{false, {}, false},         // piped
                                           ProgressCase{true, {}, true},           // a terminal
                                           ProgressCase{true, {"--quiet"}, false}  // silenced
                                           ));

struct StopCase {
    int signal;
    double every;            // seconds between rounds
    std::size_t rows_first;  // rows written before the signal is sent
};

void PrintTo(const StopCase& c, std::ostream* out)
{
    *out << strsignal(c.signal) << " every " << c.every << " s after " << c.rows_first << " rows";
}

class ToolStop : public ::testing::TestWithParam<StopCase> {};

// Ctrl-C (or SIGTERM) in a long poll, during a round or in the wait between
// rounds: the run ends promptly with every row so far whole on stdout, the
// summary counts exactly those rows, and the status is the one so far.
TEST_P(ToolStop, EndsWithRowsSoFarAndSummary)
{
    const StopCase& c = GetParam();
    Block block({instrument, instrument, refusing});
    Child child({block.address(0) + "-" + block.address(2), "--measure", "fpm", "--csv", "--count",
                 "1000", "--every", std::to_string(c.every)});
    ASSERT_TRUE(child.wait_for_lines(1 + c.rows_first, 10s)) << child.out() << child.err();
    child.signal(c.signal);
    const Child::Ended ended = child.wait(5s);
    ASSERT_FALSE(ended.timed_out) << child.out() << child.err();
    EXPECT_EQ(ended.exit_code, 3) << child.err();
    EXPECT_LE(ended.after, 400ms) << "not prompt";

    const std::string out = child.out();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n') << "a row cut short:\n" << out;
    const auto rows = lines_of(out);
    std::map<std::string, int> per_address;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const auto cells = fields(rows[i], ',');
        ASSERT_EQ(cells.size(), 4u) << rows[i];
        ++per_address[cells[1]];
    }
    const std::string err = child.err();
    EXPECT_NE(err.find("stopping after the read under way"), std::string::npos) << err;
    EXPECT_TRUE(std::regex_search(err, std::regex(R"(summary: \d+ of 1000 rounds, interrupted\n)")))
        << err;
    auto table = summary_of(err);
    ASSERT_EQ(table.size(), 3u) << err;
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(table[block.address(i)]["reads"], std::to_string(per_address[block.address(i)]))
            << block.address(i) << "\n" << out << err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolStop,
    ::testing::Values(StopCase{SIGINT, 0.4, 4},    // in the second round
                      StopCase{SIGTERM, 0.4, 4},   // SIGTERM alike
                      StopCase{SIGINT, 30.0, 3}),  // waiting for the next round
    [](const ::testing::TestParamInfo<StopCase>& info) {
        return std::string(info.param.signal == SIGINT ? "Int" : "Term") +
               (info.param.every > 1 ? "Waiting" : "Reading");
    });

// A read cannot be cut short, so Ctrl-C lets the instrument being read
// finish, both measurements, and prints its row; a second Ctrl-C stops at
// once. A single instrument gets the summary too once interrupted.
TEST(ToolStopSlowRead, FirstFinishesTheRowSecondStopsAtOnce)
{
    for (const int presses : {1, 2}) {
        SCOPED_TRACE(std::to_string(presses) + " Ctrl-C");
        Block block({with_fault("late:800")});
        Child child({block.address(0), "--count", "5"});
        const auto begun = std::chrono::steady_clock::now();
        while (block.sim(0).requests().empty() && std::chrono::steady_clock::now() - begun < 5s)
            std::this_thread::sleep_for(10ms);
        child.signal(SIGINT);
        if (presses == 2) {
            std::this_thread::sleep_for(100ms);
            child.signal(SIGINT);
        }
        const Child::Ended ended = child.wait(5s);
        ASSERT_FALSE(ended.timed_out) << child.out() << child.err();
        if (presses == 1) {
            EXPECT_EQ(ended.exit_code, 0) << child.err();
            EXPECT_EQ(child.out(), "FPM 350\nF 50\n");
            EXPECT_GE(ended.after, 1200ms) << "F was not read";
            EXPECT_NE(child.err().find("summary: 1 of 5 rounds, interrupted"), std::string::npos)
                << child.err();
        } else {
            EXPECT_EQ(ended.signal, SIGINT);
            EXPECT_LE(ended.after, 500ms);
            EXPECT_EQ(child.out(), "");
        }
    }
}

}  // namespace
