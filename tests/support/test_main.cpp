// The tests' main: they serve and connect on loopback port 502, so say
// plainly how to run them where that port cannot be bound, instead of
// failing every test on its own.
#include <gtest/gtest.h>

#include <cstdio>

#include "loopback.h"

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    const std::string problem = marvok::test::port_502_problem();
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 2;
    }
    return RUN_ALL_TESTS();
}
