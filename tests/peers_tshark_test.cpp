// tshark, Wireshark's command-line decoder, over a capture of our client
// talking to our simulator on loopback: every frame must decode as Modbus/TCP
// without a malformed-packet mark, with the function codes, addresses and
// register values we sent and served, exceptions included.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "instrument.h"
#include "marvok.h"
#include "modbus.h"
#include "sim_program.h"
#include "process.h"

namespace marvok::test {
namespace {

using namespace std::chrono_literals;

// A scratch directory, removed with what is in it.
struct ScratchDir {
    ScratchDir()
    {
        char name[] = "/tmp/marvok-capture-XXXXXX";
        if (!mkdtemp(name))
            throw std::runtime_error("mkdtemp failed");
        path = name;
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
};

TEST(Tshark, DecodesOurClientAndSimulatorAsWellFormedModbusTcp)
{
    Instrument instrument;
    instrument.sim().set_fpm(100.0f);
    instrument.sim().set_f(-1.2345678f);
    const auto& at = instrument.address();
    ScratchDir dir;
    const auto capture = (dir.path / "exchanges.pcapng").string();

    // Only this test's own address and port; a minute at most, whatever
    // happens. -P -l prints a line for each packet as it is captured.
    RunningProgram tshark({MARVOK_TSHARK, "-i", "lo", "-f", "host " + at.text + " and tcp port 502", "-w", capture,
                           "-P", "-l", "-a", "duration:60"});
    // Reads packet lines until one has `text` in it, for at most `limit`.
    const auto shows = [&](const std::string& text, std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
            const auto line = tshark.line(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
            if (line && line->find(text) != std::string::npos)
                return true;
        }
        return false;
    };
    // The capture is live once a connection of ours shows in it.
    bool live = false;
    for (int attempt = 0; attempt < 40 && !live; ++attempt) {
        RawClient probe(at.text);
        probe.close();
        live = shows(at.text, 250ms);
    }
    ASSERT_TRUE(live) << tshark.stderr_text(1s);

    const auto& p = at.parts;
    EXPECT_EQ(MARVOK_MODBUS_READ_FPM(p[0], p[1], p[2], p[3], 0), 100.0);
    EXPECT_EQ(MARVOK_MODBUS_READ_F(p[0], p[1], p[2], p[3], 0), static_cast<double>(-1.2345678f));
    ASSERT_EQ(MODBUS_OPEN(p[0], p[1], p[2], p[3]), 0);
    EXPECT_EQ(MODBUS_WRITE_SINGLE_REGISTER(1, 7, 0x1234), 0);
    MODBUS_CONTEXT.registers[0] = 11;
    MODBUS_CONTEXT.registers[1] = 22;
    MODBUS_CONTEXT.registers[2] = -1;
    EXPECT_EQ(MODBUS_WRITE_MULTIPLE_REGISTERS(1, 10, 3), 0);
    EXPECT_EQ(MODBUS_READ_HOLDING_REGISTERS(1, 7, 6), 0);
    EXPECT_EQ(MODBUS_READ_HOLDING_REGISTERS(1, 99, 2), 1);  // exception 02
    MODBUS_CLOSE();

    // The last reply, the only exception, shows once it is in the capture.
    EXPECT_TRUE(shows("Exception", 10s));
    tshark.signal(SIGINT);
    ASSERT_TRUE(tshark.exit_status(10s).has_value()) << "tshark did not stop";
    ASSERT_TRUE(std::filesystem::exists(capture)) << tshark.stderr_text(1s);

    const auto malformed = run_process({MARVOK_TSHARK, "-r", capture, "-Y", "_ws.malformed || _ws.expert.severity >= error"}, 30s);
    ASSERT_EQ(malformed.exit_code, 0) << malformed.err;
    EXPECT_EQ(malformed.out, "") << "frames marked malformed or in error";

    const auto decoded = run_process({MARVOK_TSHARK, "-r", capture, "-Y", "mbtcp", "-T", "fields", "-E", "separator=;",
                                      "-e", "tcp.dstport", "-e", "mbtcp.prot_id", "-e", "mbtcp.unit_id", "-e",
                                      "modbus.func_code", "-e", "modbus.reference_num", "-e", "modbus.word_cnt", "-e",
                                      "modbus.regval_uint16", "-e", "modbus.exception_code"},
                                     30s);
    ASSERT_EQ(decoded.exit_code, 0) << decoded.err;
    // Each frame as "request" (to port 502) or "reply", then its fields.
    std::vector<std::string> seen;
    std::istringstream lines(decoded.out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto port_end = line.find(';');
        seen.push_back((line.substr(0, port_end) == "502" ? "request " : "reply ") + line.substr(port_end + 1));
    }

    // protocol id; unit; function; reference; count; register values; exception
    const std::vector<std::string> expected{
        "request 0;1;4;0;2;;",              // FPM: input registers 0 and 1
        "reply 0;1;4;;;0,17096;",           // 100.0 is 0x42C80000: low word first
        "request 0;1;4;4;2;;",              // F: input registers 4 and 5
        "reply 0;1;4;;;1617,49054;",        // -1.2345678 is 0xBF9E0651
        "request 0;1;6;7;;;",               // write 0x1234 to holding register 7
        "reply 0;1;6;7;;;",                 // echoed
        "request 0;1;16;10;3;11,22,65535;", // write registers 10 to 12
        "reply 0;1;16;10;3;;",              // echoed address and count
        "request 0;1;3;7;6;;",              // read holding registers 7 to 12
        "reply 0;1;3;;;4660,0,0,11,22,65535;",
        "request 0;1;3;99;2;;",             // registers 99 and 100 of 100
        "reply 0;1;3;;;;2",                 // exception 02, illegal data address
    };
    EXPECT_EQ(seen, expected) << decoded.out;
}

}  // namespace
}  // namespace marvok::test
