#include "simulator.h"

#include "protocol.h"

#include <asio.hpp>

#include "sync.h"

#include <charconv>
#include <cstring>
#include <cstdio>
#include <deque>
#include <map>
#include <stdexcept>
#include <system_error>
#include <utility>

#ifdef __linux__
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#elif !defined(_WIN32)
#include <fcntl.h>
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

std::string to_string(const Fault& fault)
{
    static constexpr std::pair<FaultMode, const char*> names[] = {
        {FaultMode::none, "none"},           {FaultMode::silent, "silent"}, {FaultMode::close, "close"},
        {FaultMode::reset, "reset"},         {FaultMode::exception, "exception"},
        {FaultMode::late, "late"},           {FaultMode::split, "split"},
    };
    std::string text = fault.first_only ? "first-" : "";
    for (const auto& [mode, name] : names)
        if (mode == fault.mode)
            text += name;
    if (fault.mode == FaultMode::late || fault.mode == FaultMode::split)
        text += ":" + std::to_string(fault.ms);
    return text;
}


namespace {

// One instrument: its address, behaviour, register table and random streams.
// Kept small, since a plant has thousands.
struct Instrument {
    Instrument(asio::io_context& io, InstrumentOptions options, std::uint64_t seed)
        : address(std::move(options.address)),
          settings(options.settings),
          noise(stream_seed(seed, address, "noise")),
          chance(stream_seed(seed, address, "fault")),
          acceptor(io)
    {
        protocol::store_float(registers, 0, settings.fpm.value);
        protocol::store_float(registers, 4, settings.f.value);
    }

    std::string address;
    Settings settings;
    protocol::Registers registers;
    Random noise, chance;
    tcp::acceptor acceptor;
    tcp protocol = tcp::v4();
};

// The instruments to serve, taken out of `options`.
std::vector<InstrumentOptions> take_plant(Options& options)
{
    if (!options.plant.empty())
        return std::exchange(options.plant, {});
    Settings alike;
    alike.fpm.value = options.fpm;
    alike.f.value = options.f;
    alike.fault = options.fault;
    std::vector<InstrumentOptions> plant;
    for (const auto& address : options.listen)
        plant.push_back({address, alike});
    return plant;
}

// Whether a read of `count` registers from `first` covers any of the two
// registers of the measurement at `at`.
bool covers(std::size_t first, std::size_t count, std::size_t at)
{
    return first < at + 2 && at < first + count;
}

}  // namespace

class Simulator::Impl {
public:
    explicit Impl(Options options) : options_(std::move(options))
    {
        for (auto& instrument : take_plant(options_))
            instruments_.emplace_back(*io_, std::move(instrument), options_.seed);
    }

    ~Impl()
    {
        stop();
        // Coroutines parked when the loop stopped are destroyed with the
        // context; they still refer to the members below, so it goes first.
        connections_.clear();
        instruments_.clear();
        io_.reset();
    }

    void open()
    {
        Lock lock(life_);
        if (stopped_)
            throw std::logic_error("the simulator has been stopped");
        open_locked();
    }

    void start()
    {
        Lock lock(life_);
        if (begin_serving_locked())
            thread_ = std::make_unique<Thread>([this] { serve(); });
    }

    void run()
    {
        {
            Lock lock(life_);
            if (!begin_serving_locked())
                return;
        }
        serve();
    }

    void stop()
    {
        std::unique_ptr<Thread> serving_thread;
        {
            Lock lock(life_);
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
            while (serving_)
                served_.wait(lock);
            serving_thread = std::move(thread_);
        }
        if (serving_thread)
            serving_thread->join();
    }

    std::vector<std::string> endpoints() const
    {
        Lock lock(life_);
        return endpoints_;
    }

    void set_measurement(Measurement Settings::*which, std::size_t first, float value)
    {
        Lock lock(mutex_);
        for (auto& instrument : instruments_) {
            (instrument.settings.*which).value = value;
            protocol::store_float(instrument.registers, first, value);
        }
    }

    void set_input_register(int index, std::uint16_t value)
    {
        Lock lock(mutex_);
        const auto at = checked_index(index);
        if (at >= protocol::input_register_count)
            throw std::out_of_range("input register index beyond the table");
        for (auto& instrument : instruments_)
            instrument.registers.input[at] = value;
    }

    std::uint16_t holding_register(int index) const
    {
        Lock lock(mutex_);
        if (instruments_.empty())
            throw std::out_of_range("no instrument");
        return instruments_.front().registers.holding.at(checked_index(index));
    }

    void script(std::vector<Step> steps)
    {
        Lock lock(mutex_);
        script_.assign(std::make_move_iterator(steps.begin()), std::make_move_iterator(steps.end()));
    }

    std::vector<Request> requests() const
    {
        Lock lock(mutex_);
        return log_;
    }

    Stats stats() const
    {
        Lock lock(mutex_);
        return {instruments_.size(), open_, accepted_, requests_, faults_};
    }

private:
    struct Connection {
        int id;
        Instrument& instrument;
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
        if (!endpoints_.empty())
            return;
        if (instruments_.empty())
            throw std::system_error(std::make_error_code(std::errc::invalid_argument),
                                    "no address to listen on");
        std::vector<std::string> endpoints;
        endpoints.reserve(instruments_.size());
        for (auto& instrument : instruments_) {
            const auto fail = [&](std::error_code ec) {
                // Nothing stays bound when one address fails.
                close_listeners();
                // Asio reports socket errors in a category of its own, which
                // compares equal to no std::errc; callers test for those.
                if (ec.category() == asio::system_category())
                    ec = std::error_code(ec.value(), std::system_category());
                throw std::system_error(ec, "cannot listen on " + endpoint_text(instrument.address, options_.port));
            };
            std::error_code ec;
            const auto address = asio::ip::make_address(instrument.address, ec);
            if (ec)
                fail(ec);
            const tcp::endpoint endpoint(address, options_.port);
            auto& acceptor = instrument.acceptor;
            instrument.protocol = endpoint.protocol();
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
        }
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
        for (auto& instrument : instruments_)
            asio::co_spawn(*io_, accept_loop(instrument), asio::detached);
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
        Lock lock(life_);
        serving_ = false;
        served_.signal_all(lock);
    }

    void close_listeners()
    {
        std::error_code ec;
        for (auto& instrument : instruments_)
            instrument.acceptor.close(ec);
    }

    // On the serving thread, or when nothing serves.
    void close_all()
    {
        close_listeners();
        std::error_code ec;
        for (auto& [id, connection] : connections_)
            connection->socket.close(ec);
        connections_.clear();
        Lock lock(mutex_);
        open_ = 0;
    }

    void forget(int id)
    {
        if (connections_.erase(id) == 0)
            return;
        Lock lock(mutex_);
        --open_;
    }

    // The next connection, or an error; operation_aborted once closed.
    asio::awaitable<tcp::socket> accept(Instrument& instrument, std::error_code& ec)
    {
        auto& acceptor = instrument.acceptor;
#ifdef __linux__
        tcp::socket socket(*io_);
        for (;;) {
            // Take a waiting connection first and wait only when there is
            // none: a burst of connects costs one wakeup, not one each.
            const int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                socket.assign(instrument.protocol, fd, ec);
                if (ec)
                    ::close(fd);
                co_return socket;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                co_await acceptor.async_wait(tcp::acceptor::wait_read, asio::redirect_error(asio::use_awaitable, ec));
                if (ec)
                    co_return socket;
                continue;
            }
            // A connection that was gone before we took it.
            if (errno == ECONNABORTED || errno == EINTR)
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

    asio::awaitable<void> accept_loop(Instrument& instrument)
    {
        for (;;) {
            std::error_code ec;
            tcp::socket socket = co_await accept(instrument, ec);
            if (!instrument.acceptor.is_open() || ec == asio::error::operation_aborted)
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
                Lock lock(mutex_);
                id = static_cast<int>(++accepted_);
                ++open_;
            }
            auto connection = std::make_shared<Connection>(Connection{id, instrument, std::move(socket)});
            connections_.emplace(id, connection);
            asio::co_spawn(*io_, serve_connection(connection), asio::detached);
        }
    }

    double seconds() const
    {
        if (options_.clock)
            return options_.clock();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - epoch_).count();
    }

    // Decides the fate of a request and records it; under mutex_.
    Step take_step(const Connection& connection, int index, std::span<const std::uint8_t> frame)
    {
        ++requests_;
        if (options_.log_requests)
            log_.push_back({connection.id, {frame.begin(), frame.end()}, std::chrono::steady_clock::now()});
        if (!script_.empty()) {
            Step step = std::move(script_.front());
            script_.pop_front();
            if (step.kind != Step::Kind::serve)
                ++faults_;
            return step;
        }
        auto& instrument = connection.instrument;
        const Fault& fault = instrument.settings.fault;
        if (fault.mode == FaultMode::none || (fault.first_only && index > 0))
            return {};
        if (fault.rate < 1.0 && !(instrument.chance.uniform() < fault.rate))
            return {};
        ++faults_;
        return {step_kind(fault.mode), fault.ms, {}};
    }

    // The reply to a request, into `out`; under mutex_. A moving measurement
    // is read afresh when the request covers its registers.
    std::size_t answer_locked(Instrument& instrument, std::span<const std::uint8_t> frame, protocol::Reply& out)
    {
        if (frame[protocol::header_size] == 4 && frame.size() == protocol::header_size + 5) {
            const std::size_t first = frame[8] << 8 | frame[9], count = frame[10] << 8 | frame[11];
            const auto& settings = instrument.settings;
            std::optional<double> now;
            for (const auto& [measurement, at] : {std::pair{&settings.fpm, 0}, std::pair{&settings.f, 4}})
                if (measurement->moves() && covers(first, count, at)) {
                    if (!now)
                        now = seconds();
                    protocol::store_float(instrument.registers, at, measurement->at(*now, instrument.noise));
                }
        }
        return protocol::respond(instrument.registers, frame, out);
    }

    std::size_t answer(Instrument& instrument, std::span<const std::uint8_t> frame, protocol::Reply& out)
    {
        Lock lock(mutex_);
        return answer_locked(instrument, frame, out);
    }

    asio::awaitable<void> serve_connection(std::shared_ptr<Connection> connection)
    {
        Tracked tracked{this, connection->id};
        auto& socket = connection->socket;
        auto& instrument = connection->instrument;
        // Room for a whole frame and the next one's start: one receive takes
        // whatever has arrived, and frames are cut from the buffer.
        std::array<std::uint8_t, 2 * protocol::max_frame_size> buffer;
        std::size_t have = 0, used = 0;
        protocol::Reply reply;
        try {
            for (int index = 0;; ++index) {
                if (used > 0) {
                    std::memmove(buffer.data(), buffer.data() + used, have - used);
                    have -= used;
                    used = 0;
                }
                std::optional<std::size_t> size;
                for (;;) {
                    if (have >= protocol::header_size) {
                        size = protocol::frame_size(std::span<const std::uint8_t, protocol::header_size>(
                            buffer.data(), protocol::header_size));
                        if (!size || have >= *size)
                            break;
                    }
                    // The peer's close is the usual end of a connection: an
                    // error code, not an exception.
                    std::error_code ec;
                    const std::size_t n = co_await socket.async_read_some(
                        asio::buffer(buffer.data() + have, buffer.size() - have),
                        asio::redirect_error(asio::use_awaitable, ec));
                    if (ec)
                        co_return;
                    have += n;
                }
                if (!size) {
                    std::error_code ec;
                    socket.shutdown(tcp::socket::shutdown_both, ec);
                    socket.close(ec);
                    co_return;
                }
                used = *size;
                const std::span<const std::uint8_t> frame(buffer.data(), *size);

                Step step;
                std::size_t reply_size = 0;
                {
                    Lock lock(mutex_);
                    step = take_step(*connection, index, frame);
                    if (step.kind == Step::Kind::serve)
                        reply_size = answer_locked(instrument, frame, reply);
                }
                std::error_code ec;
                switch (step.kind) {
                case Step::Kind::serve:
                    co_await asio::async_write(socket, asio::buffer(reply.data(), reply_size), asio::use_awaitable);
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
                    reply_size = protocol::exception_reply(frame, protocol::server_device_failure, reply);
                    co_await asio::async_write(socket, asio::buffer(reply.data(), reply_size), asio::use_awaitable);
                    break;
                case Step::Kind::late: {
                    asio::steady_timer timer(socket.get_executor(), millis(step.ms));
                    co_await timer.async_wait(asio::use_awaitable);
                    reply_size = answer(instrument, frame, reply);
                    co_await asio::async_write(socket, asio::buffer(reply.data(), reply_size), asio::use_awaitable);
                    break;
                }
                case Step::Kind::split: {
                    reply_size = answer(instrument, frame, reply);
                    co_await asio::async_write(socket, asio::buffer(reply.data(), protocol::header_size),
                                               asio::use_awaitable);
                    asio::steady_timer timer(socket.get_executor(),
                                             millis(step.ms > 0 ? step.ms : default_split_ms));
                    co_await timer.async_wait(asio::use_awaitable);
                    co_await asio::async_write(
                        socket,
                        asio::buffer(reply.data() + protocol::header_size, reply_size - protocol::header_size),
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

    Options options_;  // but its plant, which instruments_ took
    const std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now();

    // Touched only by the serving thread, or under life_ when nothing serves;
    // made first, since the instruments' listeners belong to it.
    std::unique_ptr<asio::io_context> io_ = std::make_unique<asio::io_context>(1);

    mutable Mutex mutex_;  // guards the state requests see and tests inspect
    std::deque<Instrument> instruments_;  // stable addresses: connections refer to them
    std::deque<Step> script_;
    std::vector<Request> log_;
    std::uint64_t accepted_ = 0, requests_ = 0, faults_ = 0;
    int open_ = 0;

    mutable Mutex life_;  // guards opening, serving and stopping
    Event served_;        // signalled once serving has ended
    bool serving_ = false;
    bool stopped_ = false;
    std::unique_ptr<Thread> thread_;
    std::vector<std::string> endpoints_;

    std::map<int, std::shared_ptr<Connection>> connections_;  // on the serving thread
};

Simulator::Simulator(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Simulator::~Simulator() = default;
void Simulator::open() { impl_->open(); }
void Simulator::start() { impl_->start(); }
void Simulator::run() { impl_->run(); }
void Simulator::stop() { impl_->stop(); }
std::vector<std::string> Simulator::endpoints() const { return impl_->endpoints(); }
void Simulator::set_fpm(float value) { impl_->set_measurement(&Settings::fpm, 0, value); }
void Simulator::set_f(float value) { impl_->set_measurement(&Settings::f, 4, value); }
void Simulator::set_input_register(int index, std::uint16_t value) { impl_->set_input_register(index, value); }
std::uint16_t Simulator::holding_register(int index) const { return impl_->holding_register(index); }
void Simulator::script(std::vector<Step> steps) { impl_->script(std::move(steps)); }
std::vector<Request> Simulator::requests() const { return impl_->requests(); }
int Simulator::connections_accepted() const { return static_cast<int>(impl_->stats().connections_accepted); }
int Simulator::connections_open() const { return impl_->stats().connections_open; }
Stats Simulator::stats() const { return impl_->stats(); }

}  // namespace marvok::sim
