// mbpoll, a Modbus master from Debian, against our simulator: it reads the
// input registers (as 16-bit words and as floats in its little-endian word
// order, which is ours), writes holding registers with function 6 and 16,
// reads them back, and reports the simulator's exception as an error.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "instrument.h"
#include "process.h"

namespace marvok::test {
namespace {

using namespace std::chrono_literals;

struct Polled {
    ProcessResult run;
    std::map<int, std::string> values;  // "[N]: value" lines, by reference
};

// One poll (-1), PDU addresses (-0), unit 1, with a time-out of 2 s; values
// to write, if any, follow the host.
Polled mbpoll(const Instrument& instrument, std::vector<std::string> options, std::vector<std::string> values = {})
{
    std::vector<std::string> argv{MARVOK_MBPOLL, "-m", "tcp", "-a", "1", "-0", "-1", "-o", "2"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(instrument.address().text);
    argv.insert(argv.end(), values.begin(), values.end());
    Polled polled{run_process(argv, 20s), {}};
    std::istringstream lines(polled.run.out);
    std::string line;
    while (std::getline(lines, line)) {
        int reference = 0;
        char value[64] = {};
        if (std::sscanf(line.c_str(), "[%d]: %63s", &reference, value) == 2)
            polled.values[reference] = value;
    }
    return polled;
}

class Mbpoll : public testing::Test {
protected:
    void SetUp() override
    {
        instrument.sim().set_fpm(100.0f);
        instrument.sim().set_f(-1.2345678f);
    }
    Instrument instrument;
};

TEST_F(Mbpoll, ReadsTheInputRegistersAsWords)
{
    const auto polled = mbpoll(instrument, {"-t", "3", "-r", "0", "-c", "6"});
    ASSERT_EQ(polled.run.exit_code, 0) << polled.run.out << polled.run.err;
    // 100.0 is 0x42C80000, -1.2345678 is 0xBF9E0651: low words first.
    const std::map<int, std::string> expected{{0, "0"}, {1, "17096"}, {2, "0"},
                                              {3, "0"}, {4, "1617"}, {5, "49054"}};
    EXPECT_EQ(polled.values, expected) << polled.run.out;
}

TEST_F(Mbpoll, ReadsTheMeasurementsAsFloatsInItsLittleEndianWordOrder)
{
    const auto fpm = mbpoll(instrument, {"-t", "3:float", "-r", "0"});
    const auto f = mbpoll(instrument, {"-t", "3:float", "-r", "4"});
    ASSERT_EQ(fpm.run.exit_code, 0) << fpm.run.out << fpm.run.err;
    ASSERT_EQ(f.run.exit_code, 0) << f.run.out << f.run.err;
    EXPECT_EQ(fpm.values, (std::map<int, std::string>{{0, "100"}}));
    EXPECT_EQ(f.values, (std::map<int, std::string>{{4, "-1.23457"}}));
}

TEST_F(Mbpoll, WritesHoldingRegistersWithFunctions6And16AndReadsThemBack)
{
    const auto single = mbpoll(instrument, {"-t", "4", "-r", "20"}, {"4242"});
    const auto multiple = mbpoll(instrument, {"-t", "4", "-r", "97"}, {"123", "456", "65535"});
    ASSERT_EQ(single.run.exit_code, 0) << single.run.out << single.run.err;
    ASSERT_EQ(multiple.run.exit_code, 0) << multiple.run.out << multiple.run.err;
    EXPECT_EQ(instrument.sim().holding_register(20), 4242);
    EXPECT_EQ(instrument.sim().holding_register(97), 123);
    EXPECT_EQ(instrument.sim().holding_register(98), 456);
    EXPECT_EQ(instrument.sim().holding_register(99), 65535);

    std::vector<int> functions;
    for (const auto& request : instrument.sim().requests())
        functions.push_back(request.frame.at(7));
    EXPECT_EQ(functions, (std::vector<int>{6, 16}));

    const auto back = mbpoll(instrument, {"-t", "4", "-r", "19", "-c", "2"});
    ASSERT_EQ(back.run.exit_code, 0) << back.run.out << back.run.err;
    EXPECT_EQ(back.values, (std::map<int, std::string>{{19, "0"}, {20, "4242"}}));
}

TEST_F(Mbpoll, ReportsAReadPastTheTableAsIllegalDataAddress)
{
    const auto polled = mbpoll(instrument, {"-t", "3", "-r", "8", "-c", "3"});
    EXPECT_NE(polled.run.exit_code, 0);
    EXPECT_NE(polled.run.err.find("Illegal data address"), std::string::npos) << polled.run.err;
    EXPECT_TRUE(polled.values.empty());
}

}  // namespace
}  // namespace marvok::test
