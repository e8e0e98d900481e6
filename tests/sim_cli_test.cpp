// The marvok-sim program as a host runs it: readiness lines, clean stop on
// SIGTERM/SIGINT, address ranges, --dump, the status line on SIGUSR1, the
// limit on open descriptors, and exit status 2 with one line on stderr for
// what it cannot do.
#include "instrument.h"
#include "sim_helpers.h"
#include "sim_program.h"
#include "sim/plant.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>


#include <functional>
#include <optional>

namespace marvok::test {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
constexpr auto wait = 5000ms;  // the program starts under sanitizers too

// The program with `args`, its stdout and stderr on pipes.
class Program : public RunningProgram {
public:
    explicit Program(const std::vector<std::string>& args) : RunningProgram(with_path(args)) {}
    std::optional<std::string> line(milliseconds within = wait) { return RunningProgram::line(within); }
    std::optional<int> exit_status(milliseconds within = wait) { return RunningProgram::exit_status(within); }
    std::string rest_of_stdout() { return RunningProgram::rest_of_stdout(wait); }
    std::string stderr_text() { return RunningProgram::stderr_text(wait); }

private:
    static std::vector<std::string> with_path(std::vector<std::string> args)
    {
        args.insert(args.begin(), MARVOK_SIM_PROGRAM);
        return args;
    }
};

int count_lines(const std::string& text)
{
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// Loopback addresses for one start: the command line's arguments that name
// them, and each address the program should then listen on, in order.
struct Listening {
    std::vector<std::string> args;
    std::vector<std::string> addresses;
};

// Starts `argv_front` + the arguments of fresh loopback addresses + `extra`,
// trying others on a clash, and checks the readiness lines.
std::unique_ptr<RunningProgram> start_listening(const std::function<Listening()>& fresh,
                                                const std::vector<std::string>& extra,
                                                std::vector<std::string> argv_front = {MARVOK_SIM_PROGRAM})
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        const auto listening = fresh();
        auto argv = argv_front;
        argv.insert(argv.end(), listening.args.begin(), listening.args.end());
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto program = std::make_unique<RunningProgram>(argv);
        const auto first = program->line(wait);
        if (!first && program->exit_status(wait) == 2 &&
            program->stderr_text(wait).find("in use") != std::string::npos)
            continue;
        EXPECT_EQ(first, "listening on " + listening.addresses[0] + ":502");
        for (std::size_t i = 1; i < listening.addresses.size(); ++i) {
            const auto line = program->line(wait);
            if (line != "listening on " + listening.addresses[i] + ":502") {
                ADD_FAILURE() << "line " << i << ": " << line.value_or("(none)");
                break;
            }
        }
        return program;
    }
    throw std::runtime_error("no free loopback addresses for the program");
}

// Starts the program on `count` fresh loopback addresses, each its own --listen.
std::unique_ptr<RunningProgram> start_on(std::vector<Loopback>& addresses, std::size_t count,
                                         std::vector<std::string> extra = {})
{
    return start_listening(
        [&] {
            Listening listening;
            addresses.clear();
            for (std::size_t i = 0; i < count; ++i) {
                addresses.push_back(random_loopback());
                listening.args.insert(listening.args.end(), {"--listen", addresses.back().text});
                listening.addresses.push_back(addresses.back().text);
            }
            return listening;
        },
        extra);
}

// A fresh range of `count` addresses that starts 2 before the end of an
// octet, so that it crosses into the next.
Listening fresh_range(std::size_t count)
{
    const auto base = random_loopback();
    const std::uint32_t first = 127u << 24 | static_cast<std::uint32_t>(base.parts[1]) << 16 |
                                static_cast<std::uint32_t>(std::min<int>(base.parts[2], 200)) << 8 | 254u;
    const auto dotted = [](std::uint32_t a) {
        return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) +
               "." + std::to_string(a & 255);
    };
    const auto range = dotted(first) + "-" + dotted(first + static_cast<std::uint32_t>(count) - 1);
    return {{"--listen", range}, sim::expand_range(range)};
}

TEST(SimCli, ServesWhatItWasToldUntilSigterm)
{
    std::vector<Loopback> addresses;
    auto program = start_on(addresses, 1, {"--fpm", "1.5", "--f", "-100", "--fault", "first-exception"});

    RawClient client(addresses[0].text);
    const auto request = read_request(1, 4, 0, 6);
    client.send(request);
    EXPECT_EQ(client.receive_frame(wait).bytes, (Bytes{0, 1, 0, 0, 0, 3, 1, 0x84, 4}));
    client.send(request);
    EXPECT_EQ(client.receive_frame(wait).bytes,
              (Bytes{0, 1, 0, 0, 0, 15, 1, 4, 12, 0, 0, 0x3F, 0xC0, 0, 0, 0, 0, 0, 0, 0xC2, 0xC8}));

    // Stops with a connection still open.
    program->signal(SIGTERM);
    EXPECT_EQ(program->exit_status(wait), 0);
    EXPECT_EQ(program->stderr_text(wait), "");
    EXPECT_EQ(program->rest_of_stdout(wait), "");
}

TEST(SimCli, SigintStopsCleanlyOnEveryAddress)
{
    std::vector<Loopback> addresses;
    auto program = start_on(addresses, 2);
    for (const auto& address : addresses) {
        RawClient client(address.text);
        client.send(read_request(1, 4, 4, 2));
        // The defaults, as --help gives them: F = 50.0.
        EXPECT_EQ(client.receive_frame(wait).bytes, (Bytes{0, 1, 0, 0, 0, 7, 1, 4, 4, 0, 0, 0x42, 0x48}));
    }
    program->signal(SIGINT);
    EXPECT_EQ(program->exit_status(wait), 0);
    EXPECT_EQ(program->stderr_text(wait), "");
}

TEST(SimCli, WhatItCannotDoEndsWithStatus2AndOneLine)
{
    RefusingAddress bound;  // bound by another socket: in use
    const struct {
        std::vector<std::string> args;
        std::string mentions;
        const char* why;
    } cases[] = {
        {{"--bogus"}, "--bogus", "an unknown flag"},
        {{"stray"}, "stray", "an argument that is no option"},
        {{"--port", "65536"}, "--port", "a port out of range"},
        {{"--port", "-1"}, "--port", "a negative port"},
        {{"--port", "502x"}, "--port", "a port with trailing junk"},
        {{"--port"}, "--port", "a flag without its value"},
        {{"--fpm", "abc"}, "--fpm", "a measurement that is no number"},
        {{"--f", "1e999"}, "--f", "a measurement a float cannot hold"},
        {{"--f", "1.5.2"}, "--f", "a number with junk after it"},
        {{"--fault", "sometimes"}, "sometimes", "an unknown fault mode"},
        {{"--fault", "late"}, "late", "a delay without milliseconds"},
        {{"--listen", "localhost"}, "localhost", "a name, not a numeric address"},
        {{"--listen", "127.0.0.1/8"}, "127.0.0.1/8", "a network, not an address"},
        {{"--listen", "192.0.2.1"}, "192.0.2.1:502", "an address of no interface here"},
        {{"--listen", bound.address().text}, bound.address().text + ":502", "an address already in use"},
        {{"--listen", "127.0.0.5-127.0.0.1"}, "runs backwards", "a range the wrong way round"},
        {{"--listen", "127.0.0.1-::1"}, "mixes IPv4 and IPv6", "a range across families"},
        {{"--listen", "127.0.0.0-127.1.0.0"}, "more than 65536", "a range too long"},
        {{"--listen", "127.0.0.0-127.0.255.255", "--listen", "127.1.0.0"}, "the plant has more than 65536",
         "ranges too long together"},
        {{"--fpm-wave", "sine:20"}, "sine:20", "a wave without its period"},
        {{"--f-wave", "saw:1:1s"}, "saw:1:1s", "an unknown wave"},
        {{"--fpm-noise", "-1"}, "--fpm-noise", "negative noise"},
        {{"--fault", "silent", "--fault-rate", "1.5"}, "'1.5' is not a rate from 0 to 1", "a rate above 1"},
        {{"--fault-rate", "0.5"}, "--fault-rate needs --fault", "a rate of no fault"},
        {{"--seed", "-1"}, "--seed", "a negative seed, which must not wrap"},
        {{"--config", "/nonexistent/plant.json"}, "/nonexistent/plant.json: cannot read it", "a missing file"},
        {{"--fpm", "3e38", "--fpm-wave", "sine:1e38:1s"}, "can go beyond what a float holds",
         "a wave that would overflow a float"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        Program program(c.args);
        EXPECT_EQ(program.exit_status(), 2);
        const auto err = program.stderr_text();
        EXPECT_EQ(count_lines(err), 1) << err;
        EXPECT_EQ(err.rfind("marvok-sim: ", 0), 0u) << err;
        EXPECT_NE(err.find(c.mentions), std::string::npos) << err;
        EXPECT_EQ(program.rest_of_stdout(), "");  // never "listening on"
    }
}

TEST(SimCli, HelpTellsTheTruth)
{
    Program program({"--help"});
    EXPECT_EQ(program.exit_status(), 0);
    const auto help = program.rest_of_stdout();
    for (const char* text : {"--listen", "--port", "--fpm", "--f ", "--fault", "default 127.0.0.1", "default 502",
                             "default 350.0", "default 50.0", "silent", "close", "reset", "exception", "late:MS",
                             "split", "first-", "SIGTERM", "listening on", "FIRST-LAST", "--config",
                             "--fpm-wave", "--fpm-noise", "--f-wave", "--f-noise", "--fault-rate", "--seed",
                             "--dump", "sine", "square", "triangle", "ramp", "uniform", "gaussian", "SIGUSR1"})
        EXPECT_NE(help.find(text), std::string::npos) << text;
    EXPECT_EQ(program.stderr_text(), "");
}

TEST(SimCli, ARangeAcrossAnOctetServesAnInstrumentOnEachAddress)
{
    Listening listening;
    std::unique_ptr<PlantFile> file;
    auto program = start_listening(
        [&] {
            listening = fresh_range(4);
            // The second address, the octet's last, differs from the others.
            file = std::make_unique<PlantFile>(R"({"instruments": [{"listen": ")" + listening.addresses[1] +
                                               R"(", "f": 2.5}]})");
            listening.args.insert(listening.args.end(), {"--config", file->path()});
            return listening;
        },
        {"--f", "1.5"});
    ASSERT_EQ(listening.addresses.size(), 4u);
    EXPECT_TRUE(listening.addresses[1].ends_with(".255"));
    EXPECT_TRUE(listening.addresses[2].ends_with(".0"));
    for (std::size_t i = 0; i < listening.addresses.size(); ++i) {
        RawClient client(listening.addresses[i]);
        client.send(read_request(1, 4, 4, 2));
        EXPECT_EQ(value_of(client.receive_frame(wait).bytes), i == 1 ? 2.5f : 1.5f) << listening.addresses[i];
    }
    program->signal(SIGTERM);
    EXPECT_EQ(program->exit_status(wait), 0);
}

TEST(SimCli, DumpPrintsThePlantAndListensNowhere)
{
    RefusingAddress taken;  // bound already: listening there would fail
    PlantFile file(R"({"seed": 9, "defaults": {"fpm-noise": "gaussian:0.5"},
        "instruments": [{"listen": ")" + taken.address().text + R"(", "fault": "first-silent",
        "fault-rate": 0.25}]})");
    Program program({"--config", file.path(), "--listen", "127.0.0.7-127.0.0.8", "--f-wave", "ramp:3:5min",
                     "--dump"});
    EXPECT_EQ(program.exit_status(), 0);
    EXPECT_EQ(program.stderr_text(), "");
    const std::string rest = " fpm=350 fpm-wave=none fpm-noise=gaussian:0.5 f=50 f-wave=ramp:3:300s f-noise=none";
    EXPECT_EQ(program.rest_of_stdout(), "# marvok-sim plant: 3 instruments, port 502, seed 9\n"
                                        "127.0.0.7" + rest + " fault=none fault-rate=1\n"
                                        "127.0.0.8" + rest + " fault=none fault-rate=1\n" +
                                        taken.address().text + rest + " fault=first-silent fault-rate=0.25\n");
}

TEST(SimCli, Sigusr1PrintsAStatusLineAndServesOn)
{
    std::vector<Loopback> addresses;
    auto program = start_on(addresses, 2, {"--fault", "first-exception"});
    RawClient client(addresses[1].text);
    for (std::uint16_t id = 1; id <= 3; ++id) {
        client.send(read_request(id, 4, 0, 2));
        EXPECT_EQ(client.receive_frame(wait).status, RawClient::Status::data);
    }
    program->signal(SIGUSR1);
    EXPECT_EQ(program->error_line(wait),
              "marvok-sim: status: instruments 2, connections open 1, requests served 3, faults injected 1");
    client.send(read_request(4, 4, 0, 2));
    EXPECT_EQ(client.receive_frame(wait).bytes.size(), 13u);
    program->signal(SIGUSR1);
    EXPECT_EQ(program->error_line(wait),
              "marvok-sim: status: instruments 2, connections open 1, requests served 4, faults injected 1");
    program->signal(SIGTERM);
    EXPECT_EQ(program->exit_status(wait), 0);
    EXPECT_EQ(program->stderr_text(wait), "");
}

TEST(SimCli, RaisesTheDescriptorLimitOrSaysItCannot)
{
    constexpr std::size_t count = 300;
    // A soft limit below what 300 listeners need, a hard one above: raised.
    auto program = start_listening([] { return fresh_range(count); }, {},
                                   {"/usr/bin/prlimit", "--nofile=64:4096", "--", MARVOK_SIM_PROGRAM});
    program->signal(SIGTERM);
    EXPECT_EQ(program->exit_status(wait), 0);

    // A hard limit too low: one line, exit 2, before binding anything.
    const auto listening = fresh_range(count);
    std::vector<std::string> argv{"/usr/bin/prlimit", "--nofile=64:64", "--", MARVOK_SIM_PROGRAM};
    argv.insert(argv.end(), listening.args.begin(), listening.args.end());
    RunningProgram limited(argv);
    EXPECT_EQ(limited.exit_status(wait), 2);
    const auto err = limited.stderr_text(wait);
    EXPECT_EQ(err, "marvok-sim: 300 addresses need about 332 open descriptors, but this process may have only 64 "
                   "(raise the hard limit: ulimit -Hn, or LimitNOFILE for a service)\n");
    EXPECT_EQ(limited.rest_of_stdout(wait), "");
}

// Tests run host programs as children while an in-process instrument
// serves; a child must not keep the instrument's sockets open behind it.
TEST(SimProcess, ChildProcessesDoNotKeepItsSocketsOpen)
{
    auto instrument = std::make_unique<Instrument>();
    const auto address = instrument->address().text;
    RawClient client(address);
    client.send(read_request(1, 4, 0, 2));
    ASSERT_EQ(client.receive_frame(wait).bytes.size(), 13u);

    // Any long-running child will do: the program itself, on a port of its own.
    Program child({"--listen", random_loopback().text, "--port", "0"});
    ASSERT_TRUE(child.line());

    instrument.reset();
    const auto seen = client.receive_some(wait);
    EXPECT_EQ(seen.status, RawClient::Status::eof) << to_string(seen.status);
    EXPECT_THROW(RawClient{address}, std::runtime_error);  // refused, not held open by the child
}

}  // namespace
}  // namespace marvok::test
