// The marvok-sim program as a host runs it: readiness line, clean stop on
// SIGTERM/SIGINT, and exit status 2 with one line on stderr for what it
// cannot do.
#include "instrument.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <thread>

extern char** environ;

namespace marvok::test {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
constexpr auto wait = 5000ms;  // the program starts under sanitizers too

// The program running with its stdout and stderr on pipes; killed if a test
// leaves it running.
class Program {
public:
    explicit Program(const std::vector<std::string>& args)
    {
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> argv{const_cast<char*>(MARVOK_SIM_PROGRAM)};
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid_, MARVOK_SIM_PROGRAM, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (rc != 0)
            throw std::runtime_error("cannot run " MARVOK_SIM_PROGRAM);
    }

    ~Program()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }

    // The next line of stdout, without its newline; nothing if it does not
    // come within the wait or the output ends first.
    std::optional<std::string> line(milliseconds within = wait)
    {
        const auto deadline = std::chrono::steady_clock::now() + within;
        for (;;) {
            if (const auto end = out_buffer_.find('\n'); end != std::string::npos) {
                auto text = out_buffer_.substr(0, end);
                out_buffer_.erase(0, end + 1);
                return text;
            }
            if (!read_some(out_, out_buffer_, deadline))
                return std::nullopt;
        }
    }

    // Exit status, or -signal; nothing if it does not end within the wait.
    std::optional<int> exit_status(milliseconds within = wait)
    {
        const auto deadline = std::chrono::steady_clock::now() + within;
        for (;;) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() > deadline)
                return std::nullopt;
            std::this_thread::sleep_for(5ms);
        }
    }

    void signal(int number) { kill(pid_, number); }

    // All of stdout and stderr up to their end (call once the program exited).
    std::string rest_of_stdout() { return drain(out_, out_buffer_); }
    std::string stderr_text() { return drain(err_, err_buffer_); }

private:
    static bool read_some(int fd, std::string& buffer, std::chrono::steady_clock::time_point deadline)
    {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char chunk[512];
        const auto got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(got));
        return true;
    }

    static std::string drain(int fd, std::string& buffer)
    {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (read_some(fd, buffer, deadline)) {
        }
        return std::exchange(buffer, {});
    }

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    std::string out_buffer_, err_buffer_;
};

int count_lines(const std::string& text)
{
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// Starts the program on fresh loopback addresses, trying others on a clash,
// and checks its readiness lines.
std::unique_ptr<Program> start_on(std::vector<Loopback>& addresses, std::size_t count,
                                  std::vector<std::string> extra = {})
{
    for (int attempt = 0; attempt < 10; ++attempt) {
        addresses.clear();
        std::vector<std::string> args = extra;
        for (std::size_t i = 0; i < count; ++i) {
            addresses.push_back(random_loopback());
            args.insert(args.end(), {"--listen", addresses.back().text});
        }
        auto program = std::make_unique<Program>(args);
        const auto first = program->line();
        if (!first && program->exit_status() == 2 &&
            program->stderr_text().find("in use") != std::string::npos)
            continue;
        EXPECT_EQ(first, "listening on " + addresses[0].text + ":502");
        for (std::size_t i = 1; i < count; ++i)
            EXPECT_EQ(program->line(), "listening on " + addresses[i].text + ":502");
        return program;
    }
    throw std::runtime_error("no free loopback address for the program");
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
    EXPECT_EQ(program->exit_status(), 0);
    EXPECT_EQ(program->stderr_text(), "");
    EXPECT_EQ(program->rest_of_stdout(), "");
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
    EXPECT_EQ(program->exit_status(), 0);
    EXPECT_EQ(program->stderr_text(), "");
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
                             "split", "first-", "SIGTERM", "listening on"})
        EXPECT_NE(help.find(text), std::string::npos) << text;
    EXPECT_EQ(program.stderr_text(), "");
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
