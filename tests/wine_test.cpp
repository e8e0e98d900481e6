// The Windows DLLs under Wine, loaded at run time by a Windows host and
// resolved by name and by ordinal, against the in-process instrument.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "instrument.h"
#include "loopback.h"
#include "process.h"

namespace {

using namespace std::chrono_literals;

struct Arch {
    const char* name;
    const char* loader;  // Wine's loader for this word size
    const char* bin;     // the Windows build's bin folder
};

std::string without_cr(const std::string& out)
{
    std::string text;  // Windows writes CRLF
    for (char ch : out)
        if (ch != '\r')
            text += ch;
    return text;
}

std::string host_output(const Arch& arch, const char* mode,
                        const std::array<std::int16_t, 4>& parts, int delay)
{
    const std::string bin = arch.bin;
    std::vector<std::string> argv = {arch.loader, bin + "/load_host.exe", mode,
                                     bin + "/Marvok.dll"};
    for (auto p : parts)
        argv.push_back(std::to_string(p));
    argv.push_back(std::to_string(delay));
    const auto result = marvok::test::run_process(argv, 60s);
    EXPECT_FALSE(result.timed_out) << result.err;
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return without_cr(result.out);
}

class WineDll : public ::testing::TestWithParam<Arch> {};

TEST_P(WineDll, ByNameAndByOrdinalReadBothMeasurements)
{
    marvok::test::Instrument instrument;
    instrument.sim().set_fpm(350.25f);
    instrument.sim().set_f(-12.5f);
    for (const char* mode : {"name", "ordinal"})
        EXPECT_EQ(host_output(GetParam(), mode, instrument.address().parts, 100),
                  "revision 103\nfpm 350.25\nf -12.5\n")
            << mode;
}

TEST_P(WineDll, SentinelsComeBackAsNumbers)
{
    marvok::test::RefusingAddress nobody;
    EXPECT_EQ(host_output(GetParam(), "name", nobody.address().parts, 0),
              "revision 103\nfpm 99999\nf 99999\n");

    EXPECT_EQ(host_output(GetParam(), "ordinal", {-1, 0, 0, 1}, 0),
              "revision 103\nfpm 99999\nf 99999\n");

    marvok::sim::Options options;
    options.fault = *marvok::sim::parse_fault("exception");
    marvok::test::Instrument failing(options);
    EXPECT_EQ(host_output(GetParam(), "name", failing.address().parts, 0),
              "revision 103\nfpm 99998\nf 99998\n");
}

TEST_P(WineDll, RetryAfterAFirstFaultGetsTheValue)
{
    marvok::sim::Options options;
    options.fault = *marvok::sim::parse_fault("first-exception");
    options.f = 2.5f;
    options.fpm = 4.0f;
    marvok::test::Instrument instrument(options);
    EXPECT_EQ(host_output(GetParam(), "ordinal", instrument.address().parts, 0),
              "revision 103\nfpm 4\nf 2.5\n");
}

TEST_P(WineDll, HostToolReadsThroughTheDll)
{
    marvok::test::Instrument instrument;
    instrument.sim().set_fpm(12.75f);
    instrument.sim().set_f(0.5f);
    const std::string bin = GetParam().bin;
    const auto read = marvok::test::run_process(
        {GetParam().loader, bin + "/marvok-read.exe", instrument.address().text}, 60s);
    EXPECT_EQ(read.exit_code, 0) << read.err;
    EXPECT_EQ(without_cr(read.out), "FPM 12.75\nF 0.5\n");

    marvok::test::RefusingAddress nobody;
    const auto refused = marvok::test::run_process(
        {GetParam().loader, bin + "/marvok-read.exe", nobody.address().text}, 60s);
    EXPECT_EQ(refused.exit_code, 3) << refused.err;
    EXPECT_NE(refused.err.find("no connection"), std::string::npos) << refused.err;
}

INSTANTIATE_TEST_SUITE_P(
    Windows, WineDll,
    ::testing::Values(Arch{"x86_64", MARVOK_WINE64, MARVOK_WIN64_BIN},
                      Arch{"i686", MARVOK_WINE32, MARVOK_WIN32_BIN}),
    [](const ::testing::TestParamInfo<Arch>& info) { return std::string(info.param.name); });

}  // namespace
