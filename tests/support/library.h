// Helpers for tests that drive the library in-process: calls on a loopback
// address, the socket-library balance, and a connection to a fresh
// instrument for the length of one test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "bytes.h"
#include "instrument.h"
#include "loopback.h"
#include "marvok.h"
#include "modbus.h"

namespace marvok::test {

using Measure = double(MARVOK_CALL*)(short, short, short, short, short);

inline double measure(Measure fn, const Loopback& at, short delay = 0)
{
    const auto& p = at.parts;
    return fn(p[0], p[1], p[2], p[3], delay);
}

inline int open_on(const Loopback& address)
{
    const auto& p = address.parts;
    return MODBUS_OPEN(p[0], p[1], p[2], p[3]);
}

// Starts of the socket library not yet matched by a stop.
inline long started_minus_stopped()
{
    const net_counters c = net_get_counters();
    return c.startups - c.cleanups;
}

class Connected : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(open_on(instrument.address()), 0); }
    void TearDown() override { MODBUS_CLOSE(); }

    std::string last_request()
    {
        const auto requests = instrument.sim().requests();
        return requests.empty() ? std::string("(none)") : to_hex(requests.back().frame);
    }

    Instrument instrument;
};

}  // namespace marvok::test
