// The run-time loader on POSIX systems.
#include "dynlib.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace marvok::dynlib {

namespace {

std::string last_error(const char* fallback)
{
    const char* text = dlerror();
    return text ? text : fallback;
}

}  // namespace

Handle open(const std::string& path, std::string& error)
{
    dlerror();
    // RTLD_NOW: a library with unresolvable references fails here, with a
    // reason, instead of aborting the process at the first call.
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library)
        error = last_error("cannot open the library");
    return library;
}

Function symbol(Handle library, const char* name, std::string& error)
{
    dlerror();
    void* address = dlsym(library, name);
    if (!address) {
        error = last_error("no such symbol");
        return nullptr;
    }
    return reinterpret_cast<Function>(address);
}

void close(Handle library)
{
    if (library)
        dlclose(library);
}

std::string executable_directory()
{
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0)
            return {};
        if (static_cast<std::size_t>(length) < buffer.size()) {
            std::string path(buffer.data(), static_cast<std::size_t>(length));
            const std::size_t slash = path.rfind('/');
            return slash == std::string::npos ? std::string{} : path.substr(0, slash);
        }
        // Possibly truncated: readlink does not say, so try a larger buffer.
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace marvok::dynlib
