// The pause on Windows.
#include "net.h"

#include <windows.h>

void net_sleep(unsigned ms) { Sleep(ms); }
