#include "interrupt.h"

#include <atomic>
#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace marvok::read::interrupt {

namespace {

// Lock-free, so the handler may store it; on Windows the handler runs on a
// thread of its own.
std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// Set before the handlers are installed, only read by them.
const char* note = "";
std::size_t note_length = 0;

// A read under way can take seconds (8 s for an instrument that never
// answers), so the user learns at once that the Ctrl-C was seen.
constexpr const char* NOTE =
    "\nmarvok-read: stopping after the read under way (Ctrl-C again stops at once)\n";

extern "C" void on_signal(int number)
{
    std::signal(number, SIG_DFL);
    if (!stop_requested.exchange(true)) {
        // write() is safe in a handler, where stdio is not.
#ifdef _WIN32
        _write(2, note, static_cast<unsigned>(note_length));
#else
        [[maybe_unused]] const auto ignored = write(STDERR_FILENO, note, note_length);
#endif
    }
}

void handle(int number)
{
    if (std::signal(number, on_signal) == SIG_IGN)
        std::signal(number, SIG_IGN);
}

}  // namespace

void install(bool after_progress_line)
{
    note = after_progress_line ? NOTE : NOTE + 1;
    note_length = std::strlen(note);
    handle(SIGINT);
    handle(SIGTERM);
}

bool requested() { return stop_requested.load(); }

}  // namespace marvok::read::interrupt
