// The library entry point: loading and unloading run none of our code, and
// every attach and detach notification is accepted.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
