// Whether the program's output or error stream is a terminal someone is
// watching, so that a tool may show a progress line there and stay quiet in
// a pipe or a log file. terminal_posix.cpp asks isatty, terminal_win.cpp
// the console.
#pragma once

namespace marvok::terminal {

enum class Stream { output, error };

bool is_terminal(Stream stream);

}  // namespace marvok::terminal
