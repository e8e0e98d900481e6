// Locks, an event and a thread for the simulator, taken from Asio: the C++
// library of mingw-w64's win32 thread model has no std::mutex,
// std::condition_variable or std::thread, while Asio carries its own for
// every platform it serves on (pthreads here, Win32 there).
#pragma once

#include <asio/detail/event.hpp>
#include <asio/detail/mutex.hpp>
#include <asio/thread.hpp>

namespace marvok::sim {

using Mutex = asio::detail::mutex;
using Lock = Mutex::scoped_lock;
using Event = asio::detail::event;  // wait() and signal_all() take a held Lock
using Thread = asio::thread;

}  // namespace marvok::sim
