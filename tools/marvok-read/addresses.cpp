#include "addresses.h"

#include <cerrno>
#include <cstring>

namespace marvok::read {

namespace {

bool ipv4(std::string_view text, Ipv4& address)
{
    Ipv4 value = 0;
    std::size_t part = 0;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t dot = text.find('.', begin);
        const std::string_view piece =
            text.substr(begin, dot == std::string_view::npos ? std::string_view::npos : dot - begin);
        unsigned number = 0;
        if (part == 4 || piece.size() > 3 || (piece.size() > 1 && piece.front() == '0') ||
            !whole_decimal(piece, number) || number > 255)
            return false;
        value = value << 8 | number;
        ++part;
        if (dot == std::string_view::npos)
            break;
        begin = dot + 1;
    }
    if (part != 4)
        return false;
    address = value;
    return true;
}

std::string_view trimmed(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

}  // namespace

std::string in_quotes(std::string_view text)
{
    // Appended piece by piece: "'" + string + "'" draws a false -Wrestrict
    // warning from GCC 12.
    std::string result;
    result.reserve(text.size() + 2);
    result.append(1, '\'').append(text).append(1, '\'');
    return result;
}

Target target_of(Ipv4 address)
{
    Target target;
    for (int i = 0; i < 4; ++i) {
        const unsigned part = address >> (24 - 8 * i) & 0xFF;
        target.parts[i] = static_cast<short>(part);
        if (i)
            target.text += '.';
        target.text += std::to_string(part);
    }
    return target;
}

Problem parse_ipv4(std::string_view text, Ipv4& address)
{
    if (ipv4(text, address))
        return {};
    return in_quotes(text) + " is not an IPv4 address (four numbers 0-255 joined by dots)";
}

Problem parse_span(std::string_view text, Span& span)
{
    const std::size_t dash = text.find('-');
    if (dash == std::string_view::npos) {
        Problem problem = parse_ipv4(text, span.first);
        span.last = span.first;
        return problem;
    }
    Span parsed;
    if (!ipv4(text.substr(0, dash), parsed.first) || !ipv4(text.substr(dash + 1), parsed.last))
        return in_quotes(text) +
               " is not a range of IPv4 addresses (FIRST-LAST, each four numbers 0-255 joined by dots)";
    if (parsed.last < parsed.first)
        return "the range " + in_quotes(text) + " ends before it begins";
    span = parsed;
    return {};
}

Problem AddressList::add(const Span& span)
{
    if (span.size() > MAX_LISTED - listed_)
        return "too many addresses: at most " + std::to_string(MAX_LISTED) +
               " in all, counting every address of a range";
    listed_ += span.size();
    for (std::uint64_t a = span.first; a <= span.last; ++a)
        if (seen_.insert(static_cast<Ipv4>(a)).second)
            addresses_.push_back(static_cast<Ipv4>(a));
    return {};
}

Problem read_address_file(const std::string& name, std::FILE* file, AddressList& list)
{
    // A line this long is no address list: most likely a binary file, or
    // /dev/zero, which would otherwise be read into memory without end.
    constexpr std::size_t MAX_LINE = 4096;
    std::string line;
    unsigned long number = 0;
    for (;;) {
        line.clear();
        int c;
        while ((c = std::getc(file)) != EOF && c != '\n') {
            if (line.size() == MAX_LINE)
                return name + ":" + std::to_string(number + 1) + ": line longer than " +
                       std::to_string(MAX_LINE) + " characters";
            line += static_cast<char>(c);
        }
        if (std::ferror(file))
            return "cannot read " + name + ": " + std::strerror(errno);
        if (c == EOF && line.empty())
            break;
        ++number;
        std::string_view entry = line;
        entry = trimmed(entry.substr(0, entry.find('#')));
        if (entry.empty())
            continue;
        Span span;
        Problem problem = parse_span(entry, span);
        if (problem.empty())
            problem = list.add(span);
        if (!problem.empty())
            return name + ":" + std::to_string(number) + ": " + problem;
    }
    return {};
}

}  // namespace marvok::read
