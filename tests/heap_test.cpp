// The library keeps its state in one static record and takes nothing from
// the heap. This test executable replaces malloc and friends to count what
// the calling thread allocates while a measurement call runs (the in-process
// instrument allocates on its own thread, which is not counted).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>

#include "instrument.h"
#include "steps.h"
#include "loopback.h"
#include "marvok.h"

extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {
thread_local bool counting = false;
thread_local long allocations = 0;

void note()
{
    if (counting)
        ++allocations;
}
}  // namespace

extern "C" {
void* malloc(std::size_t size)
{
    note();
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size)
{
    note();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size)
{
    note();
    return __libc_realloc(p, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size)
{
    note();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size)
{
    note();
    *out = __libc_memalign(alignment, size);
    return *out ? 0 : ENOMEM;
}
void free(void* p) { __libc_free(p); }
}

namespace {

using marvok::test::Kind;
using marvok::test::step;

template <class Call>
long allocations_during(Call call)
{
    allocations = 0;
    counting = true;
    call();
    counting = false;
    return allocations;
}

TEST(Heap, CountingSeesAnAllocation)
{
    // The counter works: a plain malloc on this thread is seen.
    EXPECT_EQ(allocations_during([] { std::free(std::malloc(16)); }), 1);
}

TEST(Heap, NoCallAllocates)
{
    marvok::test::Instrument instrument;
    marvok::test::RefusingAddress nobody;
    const auto& p = instrument.address().parts;
    const auto& q = nobody.address().parts;
    double value = 0, refused = 0, faulty = 0, bad = 0, revision = 0;
    const long count = allocations_during([&] {
        revision = MARVOK_MODBUS_READ_DLL_SOFTWARE_REVISION();
        value = MARVOK_MODBUS_READ_FPM(p[0], p[1], p[2], p[3], 150);
        refused = MARVOK_MODBUS_READ_F(q[0], q[1], q[2], q[3], 0);
        bad = MARVOK_MODBUS_READ_F(-1, 0, 0, 1, 0);
    });
    instrument.sim().script({step(Kind::exception), step(Kind::close)});
    const long failing = allocations_during(
        [&] { faulty = MARVOK_MODBUS_READ_F(p[0], p[1], p[2], p[3], 0); });
    EXPECT_EQ(revision, 103.0);
    EXPECT_EQ(value, 350.0);
    EXPECT_EQ(refused, 99999.0);
    EXPECT_EQ(bad, 99999.0);
    EXPECT_EQ(faulty, 99998.0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(failing, 0);
}

}  // namespace
