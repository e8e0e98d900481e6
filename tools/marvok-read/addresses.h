// The instruments to poll: IPv4 addresses and ranges of them from the
// command line and from address files, gathered into one list in the order
// first given, each address once, with a cap on the total.
#pragma once

#include <array>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace marvok::read {

// A reason why something was refused; empty when it was accepted.
using Problem = std::string;

using Ipv4 = std::uint32_t;  // most significant part first: 127.0.0.1 is 0x7F000001

struct Target {
    std::string text;              // dotted decimal, for messages and rows
    std::array<short, 4> parts{};  // as the library takes them
};

Target target_of(Ipv4 address);

// 'text', for messages.
std::string in_quotes(std::string_view text);

// Parses all of `text` as a decimal number; a sign, spaces, a base prefix or
// trailing characters make it fail.
template <typename Number>
bool whole_decimal(std::string_view text, Number& value)
{
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text.front())))
        return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

// "A.B.C.D": four decimal parts 0-255 without signs or leading zeros (some
// systems read "010" as octal 8).
Problem parse_ipv4(std::string_view text, Ipv4& address);

// An address, or "FIRST-LAST": every address from FIRST to LAST inclusive,
// across part boundaries (10.0.0.250-10.0.1.5 is twelve addresses).
struct Span {
    Ipv4 first = 0, last = 0;
    std::uint64_t size() const { return std::uint64_t{last} - first + 1; }
};
Problem parse_span(std::string_view text, Span& span);

class AddressList {
public:
    // The most addresses one run may list, counting every address of every
    // range and repeats: it bounds memory and keeps a typo such as
    // 10.0.0.1-10.9.0.1 from starting a poll that would never end.
    static constexpr std::uint64_t MAX_LISTED = 65536;

    // Adds the addresses of `span` not listed yet, or refuses the whole span
    // when the total would pass MAX_LISTED.
    Problem add(const Span& span);
    const std::vector<Ipv4>& addresses() const { return addresses_; }

private:
    std::uint64_t listed_ = 0;
    std::vector<Ipv4> addresses_;
    std::unordered_set<Ipv4> seen_;
};

// Adds the address file `name`, already open as `file`: one address or
// range per line; blank lines and everything from "#" on are ignored. A
// problem names the file and the line.
Problem read_address_file(const std::string& name, std::FILE* file, AddressList& list);

}  // namespace marvok::read
