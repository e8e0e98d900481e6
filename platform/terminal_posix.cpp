#include "terminal.h"

#include <unistd.h>

namespace marvok::terminal {

bool is_terminal(Stream stream)
{
    return isatty(stream == Stream::output ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

}  // namespace marvok::terminal
