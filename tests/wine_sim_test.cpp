// marvok-sim.exe under Wine, both word sizes: a range of instruments served
// from one Windows process, read by a raw client, then killed and waited for
// so that no Wine process outlives the test.
#include <gtest/gtest.h>

#include "instrument.h"
#include "loopback.h"
#include "process.h"
#include "sim_helpers.h"
#include "sim_program.h"

#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using marvok::test::eventually;
using marvok::test::RawClient;

struct Arch {
    const char* name;
    const char* loader;  // Wine's loader for this word size
    const char* bin;     // the Windows build's bin folder
};

class WineSim : public ::testing::TestWithParam<Arch> {
protected:
    std::vector<std::string> command(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {GetParam().loader, std::string(GetParam().bin) + "/marvok-sim.exe"});
        return args;
    }
};

TEST_P(WineSim, ServesARangeOfInstrumentsUntilKilled)
{
    // Wine's first start in a prefix is slow; later ones take a second or two.
    constexpr auto start_wait = 60s;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const auto base = marvok::test::random_loopback();
        const auto prefix = "127." + std::to_string(base.parts[1]) + "." + std::to_string(base.parts[2]) + ".";
        const std::string first = prefix + "1", second = prefix + "2";
        marvok::test::RunningProgram program(command(
            {"--listen", first + "-" + second, "--fpm", "12.5", "--f", "-3", "--f-noise", "0.25", "--seed", "1"}));
        const auto line = program.line(start_wait);
        if (!line) {
            const bool in_use = program.exit_status(5s) == 2 &&
                                program.stderr_text(5s).find("in use") != std::string::npos;
            if (in_use)
                continue;
            FAIL() << "no listening line; stderr: " << program.stderr_text(5s);
        }
        EXPECT_EQ(line, "listening on " + first + ":502");
        EXPECT_EQ(program.line(10s), "listening on " + second + ":502");

        for (const auto& address : {first, second}) {
            SCOPED_TRACE(address);
            RawClient client(address);
            client.send(marvok::test::read_request(1, 4, 0, 2));
            EXPECT_EQ(marvok::test::value_of(client.receive_frame(10s).bytes), 12.5f);
            client.send(marvok::test::read_request(2, 4, 4, 2));
            const float f = marvok::test::value_of(client.receive_frame(10s).bytes);
            EXPECT_GE(f, -3.25f);
            EXPECT_LE(f, -2.75f);
        }
        // An instrument of its own on each address, in the Windows build too.
        {
            RawClient writer(first), reader(second);
            writer.send(marvok::test::modbus_frame(3, 1, {6, 0, 9, 0, 77}));
            EXPECT_EQ(writer.receive_frame(10s).bytes.size(), 12u);
            reader.send(marvok::test::read_request(4, 3, 9, 1));
            EXPECT_EQ(reader.receive_frame(10s).bytes, (marvok::test::Bytes{0, 4, 0, 0, 0, 5, 1, 3, 2, 0, 0}));
        }

        // A Windows program under Wine may not take SIGTERM as a stop: kill it.
        EXPECT_TRUE(program.kill_and_wait(10s));
        // Wine's server holds the sockets and closes them once it has seen
        // the process die, a moment after the process itself is gone.
        EXPECT_TRUE(eventually(
            [&] {
                try {
                    RawClient probe(first);
                    return false;
                } catch (const std::runtime_error&) {
                    return true;  // nothing listens any more
                }
            },
            10s));
        return;
    }
    FAIL() << "no free loopback addresses";
}

TEST_P(WineSim, ABadCommandLineEndsWithStatus2AndOneLine)
{
    const auto result =
        marvok::test::run_process(command({"--listen", "127.0.0.9-127.0.0.1", "--dump"}), 60s);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 2);
    EXPECT_NE(result.err.find("marvok-sim: --listen: range '127.0.0.9-127.0.0.1' runs backwards"), std::string::npos)
        << result.err;
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Windows, WineSim,
    ::testing::Values(Arch{"x86_64", MARVOK_WINE64, MARVOK_WIN64_BIN},
                      Arch{"i686", MARVOK_WINE32, MARVOK_WIN32_BIN}),
    [](const ::testing::TestParamInfo<Arch>& info) { return std::string(info.param.name); });

}  // namespace
