// The run-time loader on Windows.
#include "dynlib.h"

#include <windows.h>

#include <vector>

namespace marvok::dynlib {

namespace {

// `subject` fills the "%1" some messages hold ("Bad EXE format for %1").
std::string system_message(DWORD code, const std::string& subject = "the file")
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length && text ? std::string(text, length) : std::string{};
    if (text)
        LocalFree(text);
    // System messages end in ".\r\n"; the caller puts it in a line of its own.
    while (!message.empty() &&
           (message.back() == '\r' || message.back() == '\n' || message.back() == ' ' ||
            message.back() == '.'))
        message.pop_back();
    if (message.empty())
        message = "system error";
    const std::size_t insert = message.find("%1");
    if (insert != std::string::npos)
        message.replace(insert, 2, subject);
    return message + " (error " + std::to_string(code) + ")";
}

}  // namespace

Handle open(const std::string& path, std::string& error)
{
    // No "cannot find a DLL" dialog box: a console program that waits on a
    // box nobody sees would hang.
    DWORD previous = 0;
    const BOOL mode_set = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous);
    HMODULE library = LoadLibraryA(path.c_str());
    const DWORD code = GetLastError();
    if (mode_set)
        SetThreadErrorMode(previous, nullptr);
    if (!library)
        error = system_message(code, path);
    return reinterpret_cast<Handle>(library);
}

Function symbol(Handle library, const char* name, std::string& error)
{
    FARPROC address = GetProcAddress(static_cast<HMODULE>(library), name);
    if (!address) {
        error = system_message(GetLastError());
        return nullptr;
    }
    return reinterpret_cast<Function>(address);
}

void close(Handle library)
{
    if (library)
        FreeLibrary(static_cast<HMODULE>(library));
}

std::string executable_directory()
{
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameA(nullptr, buffer.data(),
                                                static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size()) {
            std::string path(buffer.data(), length);
            const std::size_t slash = path.find_last_of("\\/");
            return slash == std::string::npos ? std::string{} : path.substr(0, slash);
        }
        // Truncated: the name did not fit.
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace marvok::dynlib
