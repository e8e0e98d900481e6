// Loading a shared library at run time and finding its functions by name,
// the way a host application does. dynlib_posix.cpp does it with dlopen,
// dynlib_win.cpp with LoadLibrary; callers see one interface.
#pragma once

#include <string>

namespace marvok::dynlib {

// An open library; null when opening failed.
using Handle = void*;

// A resolved function, to be cast to its real type by the caller. This is
// the one pointer type every function pointer may be cast to and back.
using Function = void (*)(void);

// Opens the library file `path`. A name without a directory is looked for
// by the system's search; anything else is taken as a path. On failure
// returns null and puts the system's reason in `error`.
Handle open(const std::string& path, std::string& error);

// The exported function `name`, or null with the reason in `error`.
Function symbol(Handle library, const char* name, std::string& error);

// Unloads the library; every Function from it is invalid afterwards.
void close(Handle library);

// The directory of the running executable, or an empty string when the
// system cannot tell.
std::string executable_directory();

}  // namespace marvok::dynlib
