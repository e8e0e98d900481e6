// For checks that hold a run to a time grid with margins of tens of
// milliseconds: a stall of a shared or virtual machine can push one run off
// its grid, while a fault in the timing shows in every run. The check runs up
// to three times; the failures of each try but the last are printed, not
// counted.
#pragma once

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdio>

namespace marvok::test {

template <class F>
void in_up_to_three_tries(F once)
{
    for (int attempt = 1; attempt < 3; ++attempt) {
        ::testing::TestPartResultArray failures;
        {
            ::testing::ScopedFakeTestPartResultReporter reporter(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
            once();
        }
        if (failures.size() == 0)
            return;
        std::printf("try %d failed, trying again; its failures:\n", attempt);
        for (int i = 0; i < failures.size(); ++i) {
            const auto& f = failures.GetTestPartResult(i);
            std::printf("%s:%d: %s\n", f.file_name() ? f.file_name() : "?", f.line_number(), f.message());
        }
    }
    once();
}

}  // namespace marvok::test
