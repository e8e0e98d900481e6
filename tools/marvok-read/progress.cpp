#include "progress.h"

#include <cstdio>

namespace marvok::read {

namespace {

// Longer than a narrow terminal is wide, the line would wrap and a carriage
// return would no longer take the cursor back to its start.
constexpr std::size_t MAX_WIDTH = 79;

}  // namespace

void ProgressLine::show(const std::string& text, bool at_once)
{
    if (!enabled_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!at_once && shown_ > 0 && now - drawn_ < std::chrono::milliseconds(100))
        return;
    const std::string line = text.substr(0, MAX_WIDTH);
    // Blanks over what is left of a longer line before; no terminal escape
    // sequences, which not every Windows console understands.
    const std::string blanks(shown_ > line.size() ? shown_ - line.size() : 0, ' ');
    std::fprintf(stderr, "\r%s%s", line.c_str(), blanks.c_str());
    if (!blanks.empty())
        std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
    shown_ = line.size();
    drawn_ = now;
}

void ProgressLine::clear()
{
    if (shown_ == 0)
        return;
    std::fprintf(stderr, "\r%s\r", std::string(shown_, ' ').c_str());
    std::fflush(stderr);
    shown_ = 0;
}

}  // namespace marvok::read
