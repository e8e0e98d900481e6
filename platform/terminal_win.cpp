#include "terminal.h"

#include <windows.h>

namespace marvok::terminal {

// Only a console counts: _isatty() also says yes for the NUL device, where
// a progress line would be written for nobody.
bool is_terminal(Stream stream)
{
    DWORD mode = 0;
    const HANDLE handle = GetStdHandle(stream == Stream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    return GetConsoleMode(handle, &mode) != 0;
}

}  // namespace marvok::terminal
