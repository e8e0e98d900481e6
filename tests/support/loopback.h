// Loopback addresses for tests. Every test serves or refuses on an address
// of its own in 127.0.0.0/8, port 502, so tests run in parallel without
// stepping on each other.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace marvok::test {

struct Loopback {
    std::array<std::int16_t, 4> parts;  // as a host passes them to the library
    std::string text;                   // dotted-decimal
};

// A random address in 127.1.0.0 to 127.254.255.254; callers retry on a clash.
Loopback random_loopback();

// An address where nothing listens: a TCP socket is bound to ADDR:port and
// never listens, so the address stays ours and every connect is refused.
class RefusingAddress {
public:
    explicit RefusingAddress(std::uint16_t port = 502);
    ~RefusingAddress();
    RefusingAddress(const RefusingAddress&) = delete;
    RefusingAddress& operator=(const RefusingAddress&) = delete;
    const Loopback& address() const { return address_; }

private:
    Loopback address_;
    int fd_ = -1;
};

// One line that says why binding loopback port 502 is not possible here and
// how to run the tests, or an empty string when it is.
std::string port_502_problem();

}  // namespace marvok::test
