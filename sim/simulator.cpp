#include "simulator.h"

#include "protocol.h"

#include <asio.hpp>

#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

#ifdef __linux__
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#elif !defined(_WIN32)
#include <fcntl.h>
#endif

#if defined(__GNUC__) && !defined(__clang__)
// Asio allocates coroutine frames with aligned_alloc and frees them with free;
// GCC 12 pairs the frame's operator delete with the wrong allocator and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace marvok::sim {

using asio::ip::tcp;

namespace {

constexpr int max_fault_ms = 3'600'000;
constexpr int default_split_ms = 50;

std::optional<int> parse_ms(std::string_view text)
{
    int value = 0;
    const auto end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end || value < 0 || value > max_fault_ms)
        return std::nullopt;
    return value;
}

Step::Kind step_kind(FaultMode mode)
{
    switch (mode) {
    case FaultMode::silent: return Step::Kind::silent;
    case FaultMode::close: return Step::Kind::close;
    case FaultMode::reset: return Step::Kind::reset;
    case FaultMode::exception: return Step::Kind::exception;
    case FaultMode::late: return Step::Kind::late;
    case FaultMode::split: return Step::Kind::split;
    case FaultMode::none: break;
    }
    return Step::Kind::serve;
}

std::string endpoint_text(const tcp::endpoint& endpoint)
{
    const auto address = endpoint.address();
    const std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

std::string endpoint_text(const std::string& address, std::uint16_t port)
{
    const bool v6 = address.find(':') != std::string::npos;
    return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

// Sockets must not be inherited: a test that runs a host program as a child
// would otherwise keep the listeners and connections of its in-process
// simulator alive in the child after stopping it. On Linux they are created
// so (SOCK_CLOEXEC, accept4), leaving no window for a concurrent fork.
#ifndef __linux__
void do_not_inherit(tcp::socket::native_handle_type native)
{
#ifdef _WIN32
    ::SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<SOCKET>(native)), HANDLE_FLAG_INHERIT, 0);
#else
    ::fcntl(native, F_SETFD, FD_CLOEXEC);
#endif
}
#endif

void open_listener(tcp::acceptor& acceptor, const tcp::endpoint& endpoint, std::error_code& ec)
{
#ifdef __linux__
    const int fd = ::socket(endpoint.protocol().family(), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        ec = std::error_code(errno, asio::system_category());
        return;
    }
    acceptor.assign(endpoint.protocol(), fd, ec);
    if (ec)
        ::close(fd);
#else
    acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        do_not_inherit(acceptor.native_handle());
#endif
}

std::chrono::milliseconds millis(int ms)
{
    return std::chrono::milliseconds(ms > 0 ? ms : 0);
}

}  // namespace

std::optional<Fault> parse_fault(std::string_view text)
{
    Fault fault;
    if (text == "none")
        return fault;
    if (text.starts_with("first-")) {
        fault.first_only = true;
        text.remove_prefix(6);
    }
    std::string_view name = text, argument;
    bool has_argument = false;
    if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        name = text.substr(0, colon);
        argument = text.substr(colon + 1);
        has_argument = true;
    }
    static constexpr std::pair<std::string_view, FaultMode> names[] = {
        {"silent", FaultMode::silent}, {"close", FaultMode::close},
        {"reset", FaultMode::reset},   {"exception", FaultMode::exception},
        {"late", FaultMode::late},     {"split", FaultMode::split},
    };
    for (const auto& [candidate, mode] : names) {
        if (name != candidate)
            continue;
        fault.mode = mode;
        if (mode == FaultMode::late && !has_argument)
            return std::nullopt;
        if (has_argument) {
            if (mode != FaultMode::late && mode != FaultMode::split)
                return std::nullopt;
            const auto ms = parse_ms(argument);
            if (!ms)
                return std::nullopt;
            fault.ms = *ms;
        }
        if (mode == FaultMode::split && !has_argument)
            fault.ms = default_split_ms;
        return fault;
    }
    return std::nullopt;
}

class Simulator::Impl {
public:
    explicit Impl(Options options) : options_(std::move(options))
    {
        protocol::store_float(registers_, 0, options_.fpm);
        protocol::store_float(registers_, 4, options_.f);
    }

    ~Impl()
    {
        stop();
        // Coroutines parked when the loop stopped are destroyed with the
        // context; they still refer to the members below, so it goes first.
        connections_.clear();
        acceptors_.clear();
        io_.reset();
    }

    void open()
    {
        std::lock_guard lock(life_);
        if (stopped_)
            throw std::logic_error("the simulator has been stopped");
        open_locked();
    }

    void start()
    {
        std::lock_guard lock(life_);
        if (begin_serving_locked())
            thread_ = std::thread([this] { serve(); });
    }

    void run()
    {
        {
            std::lock_guard lock(life_);
            if (!begin_serving_locked())
                return;
        }
        serve();
    }

    void stop()
    {
        std::thread serving_thread;
        {
            std::unique_lock lock(life_);
            if (!stopped_) {
                stopped_ = true;
                if (serving_) {
                    asio::post(*io_, [this] {
                        close_all();
                        io_->stop();
                    });
                } else {
                    close_all();
                }
            }
            if (io_->get_executor().running_in_this_thread())
                return;
            stopped_cv_.wait(lock, [this] { return !serving_; });
            if (thread_.joinable())
                serving_thread = std::move(thread_);
        }
        if (serving_thread.joinable())
            serving_thread.join();
    }

    std::vector<std::string> endpoints() const
    {
        std::lock_guard lock(life_);
        return endpoints_;
    }

    void set_input_float(std::size_t first, float value)
    {
        std::lock_guard lock(mutex_);
        protocol::store_float(registers_, first, value);
    }

    void set_input_register(int index, std::uint16_t value)
    {
        std::lock_guard lock(mutex_);
        registers_.input.at(checked_index(index)) = value;
    }

    std::uint16_t holding_register(int index) const
    {
        std::lock_guard lock(mutex_);
        return registers_.holding.at(checked_index(index));
    }

    void script(std::vector<Step> steps)
    {
        std::lock_guard lock(mutex_);
        script_.assign(std::make_move_iterator(steps.begin()), std::make_move_iterator(steps.end()));
    }

    std::vector<Request> requests() const
    {
        std::lock_guard lock(mutex_);
        return log_;
    }

    int connections_accepted() const
    {
        std::lock_guard lock(mutex_);
        return accepted_;
    }

    int connections_open() const
    {
        std::lock_guard lock(mutex_);
        return open_;
    }

private:
    struct Connection {
        int id;
        tcp::socket socket;
    };

    // Keeps connections_open() true to what is open, however the coroutine
    // serving the connection ends (returns, throws, or is destroyed unresumed).
    struct Tracked {
        Impl* impl;
        int id;
        ~Tracked() { impl->forget(id); }
    };

    static std::size_t checked_index(int index)
    {
        if (index < 0)
            throw std::out_of_range("negative register index");
        return static_cast<std::size_t>(index);
    }

    void open_locked()
    {
        if (!acceptors_.empty())
            return;
        if (options_.listen.empty())
            throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                    "no address to listen on");
        std::vector<tcp::acceptor> acceptors;
        std::vector<std::string> endpoints;
        for (const auto& text : options_.listen) {
            const auto fail = [&](std::error_code ec) {
                // Asio reports socket errors in a category of its own, which
                // compares equal to no std::errc; callers test for those.
                if (ec.category() == asio::system_category())
                    ec = std::error_code(ec.value(), std::system_category());
                throw std::system_error(ec, "cannot listen on " + endpoint_text(text, options_.port));
            };
            std::error_code ec;
            const auto address = asio::ip::make_address(text, ec);
            if (ec)
                fail(ec);
            const tcp::endpoint endpoint(address, options_.port);
            tcp::acceptor acceptor(*io_);
            open_listener(acceptor, endpoint, ec);
            if (ec)
                fail(ec);
#ifndef _WIN32
            // Lets a restarted simulator bind while old connections linger in
            // TIME_WAIT; on Windows the same option would let two listeners
            // share the port, so it stays off there.
            acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
            acceptor.bind(endpoint, ec);
            if (!ec)
                acceptor.listen(asio::socket_base::max_listen_connections, ec);
            if (!ec)
                acceptor.non_blocking(true, ec);
            if (ec)
                fail(ec);
            endpoints.push_back(endpoint_text(acceptor.local_endpoint()));
            acceptors.push_back(std::move(acceptor));
        }
        acceptors_ = std::move(acceptors);
        endpoints_ = std::move(endpoints);
    }

    // False when stopped already: a stop() that wins the race with run() or
    // start() on another thread must still mean stopped.
    bool begin_serving_locked()
    {
        if (stopped_)
            return false;
        if (serving_)
            throw std::logic_error("the simulator is already serving");
        open_locked();
        serving_ = true;
        for (auto& acceptor : acceptors_)
            asio::co_spawn(*io_, accept_loop(acceptor), asio::detached);
        return true;
    }

    void serve()
    {
        for (;;) {
            try {
                io_->run();
                break;
            } catch (const std::exception& e) {
                // A bug in one handler should not take the instrument down.
                std::fprintf(stderr, "marvok-sim: %s\n", e.what());
            }
        }
        {
            std::lock_guard lock(life_);
            serving_ = false;
        }
        stopped_cv_.notify_all();
    }

    // On the serving thread, or when nothing serves.
    void close_all()
    {
        std::error_code ec;
        for (auto& acceptor : acceptors_)
            acceptor.close(ec);
        for (auto& [id, connection] : connections_)
            connection->socket.close(ec);
        connections_.clear();
        std::lock_guard lock(mutex_);
        open_ = 0;
    }

    void forget(int id)
    {
        if (connections_.erase(id) == 0)
            return;
        std::lock_guard lock(mutex_);
        --open_;
    }

    // The next connection, or an error; operation_aborted once closed.
    asio::awaitable<tcp::socket> accept(tcp::acceptor& acceptor, std::error_code& ec)
    {
#ifdef __linux__
        tcp::socket socket(*io_);
        for (;;) {
            co_await acceptor.async_wait(tcp::acceptor::wait_read, asio::redirect_error(asio::use_awaitable, ec));
            if (ec)
                co_return socket;
            const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                socket.assign(acceptor.local_endpoint(ec).protocol(), fd, ec);
                if (ec)
                    ::close(fd);
                co_return socket;
            }
            // Another wakeup, or a connection that was gone before we took it.
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR)
                continue;
            ec = std::error_code(errno, asio::system_category());
            co_return socket;
        }
#else
        tcp::socket socket = co_await acceptor.async_accept(asio::redirect_error(asio::use_awaitable, ec));
        if (!ec)
            do_not_inherit(socket.native_handle());
        co_return socket;
#endif
    }

    asio::awaitable<void> accept_loop(tcp::acceptor& acceptor)
    {
        for (;;) {
            std::error_code ec;
            tcp::socket socket = co_await accept(acceptor, ec);
            if (!acceptor.is_open() || ec == asio::error::operation_aborted)
                co_return;
            if (ec) {
                // Out of descriptors or the like: back off instead of spinning.
                asio::steady_timer timer(*io_, std::chrono::milliseconds(50));
                co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
                continue;
            }
            // The client receives once: each reply must leave in one segment.
            socket.set_option(tcp::no_delay(true), ec);
            int id;
            {
                std::lock_guard lock(mutex_);
                id = ++accepted_;
                ++open_;
            }
            auto connection = std::make_shared<Connection>(Connection{id, std::move(socket)});
            connections_.emplace(id, connection);
            asio::co_spawn(*io_, serve_connection(connection), asio::detached);
        }
    }

    // Decides the fate of a request and records it; under mutex_.
    Step take_step(const Connection& connection, int index, std::span<const std::uint8_t> frame)
    {
        if (options_.log_requests)
            log_.push_back({connection.id, {frame.begin(), frame.end()}, std::chrono::steady_clock::now()});
        if (!script_.empty()) {
            Step step = std::move(script_.front());
            script_.pop_front();
            return step;
        }
        const Fault& fault = options_.fault;
        if (fault.mode == FaultMode::none || (fault.first_only && index > 0))
            return {};
        return {step_kind(fault.mode), fault.ms, {}};
    }

    std::vector<std::uint8_t> answer(std::span<const std::uint8_t> frame)
    {
        std::lock_guard lock(mutex_);
        return protocol::respond(registers_, frame);
    }

    asio::awaitable<void> serve_connection(std::shared_ptr<Connection> connection)
    {
        Tracked tracked{this, connection->id};
        auto& socket = connection->socket;
        std::array<std::uint8_t, protocol::max_frame_size> buffer;
        try {
            for (int index = 0;; ++index) {
                co_await asio::async_read(socket, asio::buffer(buffer.data(), protocol::header_size),
                                          asio::use_awaitable);
                const auto size = protocol::frame_size(
                    std::span<const std::uint8_t, protocol::header_size>(buffer.data(), protocol::header_size));
                if (!size) {
                    std::error_code ec;
                    socket.shutdown(tcp::socket::shutdown_both, ec);
                    socket.close(ec);
                    co_return;
                }
                co_await asio::async_read(
                    socket, asio::buffer(buffer.data() + protocol::header_size, *size - protocol::header_size),
                    asio::use_awaitable);
                const std::span<const std::uint8_t> frame(buffer.data(), *size);

                Step step;
                {
                    std::lock_guard lock(mutex_);
                    step = take_step(*connection, index, frame);
                }
                std::error_code ec;
                switch (step.kind) {
                case Step::Kind::serve:
                    co_await asio::async_write(socket, asio::buffer(answer(frame)), asio::use_awaitable);
                    break;
                case Step::Kind::silent:
                    break;
                case Step::Kind::close:
                    socket.shutdown(tcp::socket::shutdown_both, ec);
                    socket.close(ec);
                    co_return;
                case Step::Kind::reset:
                    socket.set_option(asio::socket_base::linger(true, 0), ec);
                    socket.close(ec);
                    co_return;
                case Step::Kind::exception:
                    co_await asio::async_write(
                        socket, asio::buffer(protocol::exception_reply(frame, protocol::server_device_failure)),
                        asio::use_awaitable);
                    break;
                case Step::Kind::late: {
                    asio::steady_timer timer(socket.get_executor(), millis(step.ms));
                    co_await timer.async_wait(asio::use_awaitable);
                    co_await asio::async_write(socket, asio::buffer(answer(frame)), asio::use_awaitable);
                    break;
                }
                case Step::Kind::split: {
                    const auto reply = answer(frame);
                    co_await asio::async_write(socket, asio::buffer(reply.data(), protocol::header_size),
                                               asio::use_awaitable);
                    asio::steady_timer timer(socket.get_executor(),
                                             millis(step.ms > 0 ? step.ms : default_split_ms));
                    co_await timer.async_wait(asio::use_awaitable);
                    co_await asio::async_write(
                        socket,
                        asio::buffer(reply.data() + protocol::header_size, reply.size() - protocol::header_size),
                        asio::use_awaitable);
                    break;
                }
                case Step::Kind::raw:
                    if (!step.bytes.empty())
                        co_await asio::async_write(socket, asio::buffer(step.bytes), asio::use_awaitable);
                    break;
                }
            }
        } catch (const std::system_error&) {
            // The peer closed or reset, or the simulator is stopping.
        }
    }

    const Options options_;

    mutable std::mutex mutex_;  // guards the state requests see and tests inspect
    protocol::Registers registers_;
    std::deque<Step> script_;
    std::vector<Request> log_;
    int accepted_ = 0;
    int open_ = 0;

    mutable std::mutex life_;  // guards opening, serving and stopping
    std::condition_variable stopped_cv_;
    bool serving_ = false;
    bool stopped_ = false;
    std::thread thread_;
    std::vector<std::string> endpoints_;

    // Touched only by the serving thread, or under life_ when nothing serves.
    std::unique_ptr<asio::io_context> io_ = std::make_unique<asio::io_context>(1);
    std::vector<tcp::acceptor> acceptors_;
    std::map<int, std::shared_ptr<Connection>> connections_;
};

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Simulator::~Simulator() = default;
void Simulator::open() { impl_->open(); }
void Simulator::start() { impl_->start(); }
void Simulator::run() { impl_->run(); }
void Simulator::stop() { impl_->stop(); }
std::vector<std::string> Simulator::endpoints() const { return impl_->endpoints(); }
void Simulator::set_fpm(float value) { impl_->set_input_float(0, value); }
void Simulator::set_f(float value) { impl_->set_input_float(4, value); }
void Simulator::set_input_register(int index, std::uint16_t value) { impl_->set_input_register(index, value); }
std::uint16_t Simulator::holding_register(int index) const { return impl_->holding_register(index); }
void Simulator::script(std::vector<Step> steps) { impl_->script(std::move(steps)); }
std::vector<Request> Simulator::requests() const { return impl_->requests(); }
int Simulator::connections_accepted() const { return impl_->connections_accepted(); }
int Simulator::connections_open() const { return impl_->connections_open(); }

}  // namespace marvok::sim
