// The progress line of a long run: one line on stderr, rewritten in place
// with a carriage return, for a terminal only. Whatever else is written to
// the terminal first clears it, so it never mixes into a line of output.
#pragma once

#include <chrono>
#include <string>

namespace marvok::read {

class ProgressLine {
public:
    explicit ProgressLine(bool enabled) : enabled_(enabled) {}
    ~ProgressLine() { clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    bool enabled() const { return enabled_; }

    // Shows `text` in place of the line. Unless `at_once`, a line that is up
    // is rewritten at most ten times a second, as instruments that refuse at
    // once would otherwise flood the terminal.
    void show(const std::string& text, bool at_once = false);
    // Erases the line, before something else goes to the terminal.
    void clear();

private:
    bool enabled_;
    std::size_t shown_ = 0;  // characters now on the line
    std::chrono::steady_clock::time_point drawn_{};
};

}  // namespace marvok::read
