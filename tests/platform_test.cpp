// What the library owes the process it is loaded into: no SIGPIPE, correct
// waits however many descriptors the host holds, no descriptor or start-up
// leak, and waits that signals do not cut short.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <cstdio>
#include <vector>

#include "instrument.h"
#include "steps.h"
#include "loopback.h"
#include "marvok.h"
#include "modbus.h"

namespace {

using namespace std::chrono_literals;
using marvok::test::Instrument;
using marvok::test::Kind;
using marvok::test::step;
using Clock = std::chrono::steady_clock;

double read_f(const marvok::test::Loopback& at, short delay = 0)
{
    const auto& p = at.parts;
    return MARVOK_MODBUS_READ_F(p[0], p[1], p[2], p[3], delay);
}

int open_descriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

TEST(Host, ResetConnectionDoesNotRaiseSigpipe)
{
    // The retry's send hits the reset connection (EPIPE). With SIGPIPE at its
    // default action, a raised signal would end this process.
    struct sigaction previous {};
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &previous);
    Instrument instrument;
    for (int i = 0; i < 5; ++i) {
        instrument.sim().script({step(Kind::reset)});
        EXPECT_EQ(read_f(instrument.address()), 99998.0);
    }
    sigaction(SIGPIPE, &previous, nullptr);
}

TEST(Host, HoldingMoreThan1024DescriptorsStillReadsCorrectly)
{
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t wanted = 2048;
    if (limit.rlim_cur < wanted) {
        ASSERT_GE(limit.rlim_max, wanted) << "the hard descriptor limit is below " << wanted;
        rlimit raised = limit;
        raised.rlim_cur = wanted;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    std::vector<int> held;
    while (held.empty() || held.back() < 1500) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        held.push_back(fd);
    }
    Instrument instrument;
    instrument.sim().set_f(123.5f);
    // The client's socket now has a number above FD_SETSIZE; a select-based
    // wait would write outside its fd_set.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(read_f(instrument.address()), 123.5);
    instrument.sim().script({step(Kind::silent), step(Kind::exception)});
    EXPECT_EQ(read_f(instrument.address()), 99998.0);
    for (int fd : held)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(Host, ManyMixedCallsLeakNoDescriptorAndBalanceStarts)
{
    Instrument good;
    good.sim().set_f(1.5f);
    Instrument faulty;
    faulty.sim().set_f(2.0f);
    marvok::test::RefusingAddress nobody;
    const int descriptors = open_descriptors();
    const net_counters before = net_get_counters();
    int calls = 0;
    for (int round = 0; round < 10; ++round) {
        EXPECT_EQ(read_f(good.address()), 1.5);
        EXPECT_EQ(read_f(nobody.address()), 99999.0);
        EXPECT_EQ(MARVOK_MODBUS_READ_FPM(300, 0, 0, 1, 0), 99999.0);
        faulty.sim().script({step(Kind::exception), step(Kind::close)});
        EXPECT_EQ(read_f(faulty.address()), 99998.0);
        faulty.sim().script({step(Kind::close)});
        EXPECT_EQ(read_f(faulty.address()), 99998.0);
        faulty.sim().script({step(Kind::exception)});
        EXPECT_EQ(read_f(faulty.address()), 2.0);  // the retry succeeds
        calls += 6;
    }
    const net_counters after = net_get_counters();
    // The instruments' ends of the connections live in this process too.
    for (int i = 0; i < 200 && good.sim().connections_open() + faulty.sim().connections_open() > 0;
         ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(after.startups - before.startups, after.cleanups - before.cleanups);
    EXPECT_GT(after.startups - before.startups, 0);
    std::printf("%d calls: %ld starts, %ld stops\n", calls, after.startups - before.startups,
                after.cleanups - before.cleanups);
}

void on_alarm(int) {}

TEST(Host, SignalsDoNotCutTheWaitsShort)
{
    // A host with an interval timer: every wait must still take its full time.
    struct sigaction action {};
    action.sa_handler = on_alarm;  // no SA_RESTART: calls see EINTR
    sigaction(SIGALRM, &action, nullptr);
    itimerval every_5ms{{0, 5000}, {0, 5000}};
    setitimer(ITIMER_REAL, &every_5ms, nullptr);

    Instrument instrument;
    instrument.sim().set_f(9.0f);
    const auto before = Clock::now();
    const double value = read_f(instrument.address(), 300);
    const auto took = Clock::now() - before;
    instrument.sim().script({step(Kind::late, 250)});
    const double late = read_f(instrument.address());

    // The no-op handler stays installed: an alarm raised just before the
    // timer stops can still be delivered afterwards (valgrind holds signals
    // back for a while), and the default action would end the test program.
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_EQ(value, 9.0);
    EXPECT_GE(took, 300ms);
    EXPECT_EQ(late, 9.0) << "a reply after 250 ms is inside the 4 s wait";
}

}  // namespace
