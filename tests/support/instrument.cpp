#include "instrument.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace marvok::test {

Instrument::Instrument(sim::Options options)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        address_ = random_loopback();
        options.listen = {address_.text};
        auto sim = std::make_unique<sim::Simulator>(options);
        try {
            sim->open();
        } catch (const std::system_error& e) {
            if (e.code() == std::errc::address_in_use)
                continue;
            const auto problem = port_502_problem();
            throw std::runtime_error(std::string(e.what()) + (problem.empty() ? "" : "; " + problem));
        }
        sim->start();
        sim_ = std::move(sim);
        return;
    }
    throw std::runtime_error("no free loopback address for the instrument after 100 tries");
}

Bytes modbus_frame(std::uint16_t transaction, std::uint8_t unit, const Bytes& pdu)
{
    const auto length = pdu.size() + 1;
    Bytes out(7 + pdu.size());
    out[0] = static_cast<std::uint8_t>(transaction >> 8);
    out[1] = static_cast<std::uint8_t>(transaction);
    out[4] = static_cast<std::uint8_t>(length >> 8);
    out[5] = static_cast<std::uint8_t>(length);
    out[6] = unit;
    std::copy(pdu.begin(), pdu.end(), out.begin() + 7);
    return out;
}

Bytes read_request(std::uint16_t transaction, std::uint8_t function, std::uint16_t address,
                   std::uint16_t count, std::uint8_t unit)
{
    return modbus_frame(transaction, unit,
                        {function, static_cast<std::uint8_t>(address >> 8), static_cast<std::uint8_t>(address),
                         static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count)});
}

RawClient::RawClient(const std::string& address, std::uint16_t port)
{
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
        close();
        throw std::runtime_error("not an IPv4 address: " + address);
    }
    // Connecting on loopback completes or fails at once; no wait to bound.
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int error = errno;
        close();
        throw std::runtime_error("connect " + address + ": " + std::strerror(error));
    }
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
}

RawClient::~RawClient() { close(); }

void RawClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void RawClient::send(std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty()) {
        const auto sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::string("send: ") + std::strerror(errno));
        }
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
}

RawClient::Received RawClient::receive_some(std::chrono::milliseconds wait, std::size_t most)
{
    return receive_bytes(most, wait, true);
}

RawClient::Received RawClient::receive(std::size_t count, std::chrono::milliseconds wait)
{
    return receive_bytes(count, wait, false);
}

RawClient::Received RawClient::receive_bytes(std::size_t count, std::chrono::milliseconds wait, bool one_recv)
{
    Received result;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (result.bytes.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            result.status = Status::timeout;
            return result;
        }
        std::uint8_t buffer[512];
        const auto want = std::min(sizeof buffer, count - result.bytes.size());
        iovec data{buffer, want};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const auto got = recvmsg(fd_, &message, 0);
        if (got == 0) {
            result.status = Status::eof;
            return result;
        }
        if (got < 0) {
            if (errno == EINTR)
                continue;
            result.status = errno == ECONNRESET ? Status::reset : Status::error;
            result.error = errno;
            return result;
        }
        result.bytes.insert(result.bytes.end(), buffer, buffer + got);
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec at{};
                std::memcpy(&at, CMSG_DATA(c), sizeof at);
                result.arrived = std::chrono::seconds(at.tv_sec) + std::chrono::nanoseconds(at.tv_nsec);
            }
        }
        if (one_recv)
            break;
    }
    result.status = Status::data;
    return result;
}

RawClient::Received RawClient::receive_frame(std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    auto result = receive(7, wait);
    if (result.status != Status::data)
        return result;
    const std::size_t length = result.bytes[4] << 8 | result.bytes[5];
    if (length > 1) {
        auto rest = receive(length - 1, left());
        result.bytes.insert(result.bytes.end(), rest.bytes.begin(), rest.bytes.end());
        result.status = rest.status;
        result.error = rest.error;
    }
    return result;
}

const char* to_string(RawClient::Status status)
{
    switch (status) {
    case RawClient::Status::data: return "data";
    case RawClient::Status::timeout: return "timeout";
    case RawClient::Status::eof: return "eof";
    case RawClient::Status::reset: return "reset";
    case RawClient::Status::error: return "error";
    }
    return "?";
}

}  // namespace marvok::test
