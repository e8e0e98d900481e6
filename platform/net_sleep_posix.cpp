// The pause on POSIX. A signal does not shorten it: nanosleep resumes with
// what is left.
#include "net.h"

#include <cerrno>
#include <time.h>

void net_sleep(unsigned ms)
{
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
